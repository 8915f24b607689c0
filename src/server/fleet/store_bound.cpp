#include "server/fleet/store_bound.h"

#include "server/support/log.h"

namespace pelmora::server {
namespace {
std::string mib(long long bytes)
{
    return bytes < (16LL << 20) ? std::to_string(bytes >> 10) + " KiB" : std::to_string(bytes >> 20) + " MiB";
}
} // namespace

void StoreBound::pass()
{
    const long long size = store_.sizeBytes();
    counters_.storeBytes = size;
    if (!counters_.storeAtLimit) {
        if (size <= maxBytes_) return;
        counters_.storeAtLimit = true;
        ++counters_.storeLimitReached;
        removed_ = 0;
        stage_ = 0;
        nothingLeft_ = false;
        logEvent(Level::warn, "the store reached its bound (" + mib(size) + " of " + mib(maxBytes_) +
                                  "): its oldest history is removed until it is under 90 %");
    }
    if (size <= maxBytes_ / 10 * 9) {
        counters_.storeAtLimit = false;
        logEvent(Level::info, "the store is back under its bound (" + mib(size) + " of " + mib(maxBytes_) + "), " +
                                  std::to_string(removed_) + " history rows removed");
        return;
    }
    // The finest history first, the team's chart last; a table with nothing
    // left to remove is passed over, and all of them looked at again now
    // and then while the store stays past its bound (rows age out of a last day).
    if (stage_ == kStages && ++idlePasses_ % kPassesBeforeLookingAgain == 0) stage_ = 0;
    long long removed = 0;
    for (; stage_ < kStages; ++stage_) {
        removed = stage_ == 0   ? store_.thinOldestReports(kBatch)
                  : stage_ == 1 ? store_.thinOldestStatusEvents(kBatch)
                  : stage_ == 2 ? store_.thinOldestAlerts(kBatch)
                                : store_.thinOldestPoints(kBatch);
        if (stage_ == 0) counters_.reportsThinned += removed;
        if (removed > 0) break;
    }
    removed_ += removed;
    if (removed == 0 && !nothingLeft_) {
        nothingLeft_ = true;
        logEvent(Level::warn, "the store is past its bound (" + mib(size) + " of " + mib(maxBytes_) +
                                  ") with no history left to remove: machines, units and each machine's last day fill it");
    }
}

} // namespace pelmora::server
