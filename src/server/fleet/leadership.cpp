#include "server/fleet/leadership.h"

#include <cstdio>
#include <random>

#include "server/support/log.h"

namespace pelmora::server {
namespace {

using Clock = std::chrono::steady_clock;

std::string randomHolder()
{
    std::random_device random;
    const unsigned long long high = random(), low = random();
    char text[17];
    std::snprintf(text, sizeof text, "%08llx%08llx", high & 0xffffffffULL, low & 0xffffffffULL);
    return text;
}

} // namespace

Leadership::Leadership(LeaseStore& store, Counters& counters, int leaseSeconds)
    : store_(store), counters_(counters), leaseSeconds_(leaseSeconds), holder_(randomHolder())
{
}

Leadership::~Leadership() { renewing_.stop(); }

void Leadership::start()
{
    renew();
    renewing_.start(std::chrono::milliseconds(defaults::kLeaseRenewMilliseconds), [this] { renew(); });
}

void Leadership::stop()
{
    renewing_.stop();
    if (!leads()) return;
    leadsUntil_ = 0;
    counters_.leading = false;
    try {
        store_.holdLease(holder_, 0);
    } catch (const std::exception&) {
        // It runs out by itself.
    }
}

bool Leadership::leads() const { return Clock::now().time_since_epoch().count() < leadsUntil_.load(); }

void Leadership::renew()
{
    // Counted from before the question: the store's lease runs from a moment after it.
    const Clock::time_point asked = Clock::now();
    bool held = false;
    std::string why = "another server leads them";
    try {
        held = store_.holdLease(holder_, leaseSeconds_);
    } catch (const std::exception& e) {
        why = std::string("the lease cannot be renewed: ") + e.what();
    }
    if (!held) {
        leadsUntil_ = 0;
        note(false, why);
        return;
    }
    // A second short of the lease, for the clocks' rates.
    const Clock::time_point until = asked + std::chrono::seconds(leaseSeconds_ - 1);
    if (!leads()) ++terms_; // another may have led meanwhile
    leadsUntil_ = until.time_since_epoch().count();
    note(true, "");
}

void Leadership::note(bool leading, const std::string& why)
{
    counters_.leading = leading;
    const Logged now = leading ? Logged::leading : Logged::following;
    if (now == logged_) return;
    logged_ = now;
    logEvent(Level::info, leading ? std::string("leading the team's duties (history, alerts, webhook)")
                                  : "not leading the team's duties: " + why);
}

} // namespace pelmora::server
