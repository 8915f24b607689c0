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
    const long long removed = store_.thinOldestReports(kBatch);
    removed_ += removed;
    counters_.reportsThinned += removed;
    if (removed == 0 && !nothingLeft_) {
        nothingLeft_ = true;
        logEvent(Level::warn, "the store is past its bound (" + mib(size) + " of " + mib(maxBytes_) +
                                  ") with no history left to remove: machines and units fill it");
    }
}

} // namespace pelmora::server
