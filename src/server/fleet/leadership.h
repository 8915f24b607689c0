// The team's duties (pruning the history, forgetting silent machines, the
// store's bound and upkeep, the points' samples, the alerts and the webhook)
// run on one server at a time when several share a store: the one holding
// the store's lease (LeaseStore). Each server tries to take or renew it
// every few seconds under a holder name of its own, made at random at its
// start; when the leader dies, its lease runs out and another takes it.
//
// A server leads only while its lease cannot have passed to another: from
// the moment it asked for the lease, for less than the lease's length. A
// renewal that fails or is late ends its duties at once, before the lease
// could run out in the store.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/support/periodic_worker.h"
#include "server/store/store.h"

namespace pelmora::server {

class Leadership {
public:
    Leadership(LeaseStore& store, Counters& counters, int leaseSeconds = defaults::kLeaseSeconds);
    ~Leadership();
    // One try at once (so a single server leads from its first step), then one every few seconds.
    void start();
    // Stops renewing, and gives the lease up, so another takes it without waiting for it to run out.
    void stop();
    // One try to take or renew the lease.
    void renew();

    bool leads() const;
    // Counts the times this server came to lead: what keeps the duties'
    // state in memory reads it again from the store when it changes, as
    // another leader may have changed it meanwhile.
    long long terms() const { return terms_.load(); }
    const std::string& holder() const { return holder_; }

private:
    enum class Logged { nothing, leading, following };
    void note(bool leading, const std::string& why);

    LeaseStore& store_;
    Counters& counters_;
    const int leaseSeconds_;
    const std::string holder_;
    std::atomic<std::chrono::steady_clock::rep> leadsUntil_{0}; // steady clock's ticks; 0: not leading
    std::atomic<long long> terms_{0};
    Logged logged_ = Logged::nothing; // the renewing thread's own
    PeriodicWorker renewing_;
};

} // namespace pelmora::server
