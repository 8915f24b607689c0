// The store's last bound (--max-store-size): when the store's data grows
// past it, the oldest history goes first, a batch each maintenance pass
// (so an exchange never waits long behind it), until the store is back
// under nine tenths of the bound. Table by table: the reports, then the
// changes of status, the resolved alerts and the points history, each
// oldest first, and never a machine's last day (the store's thin* methods). Each time it reaches the bound is logged
// once and counted, and shown on the dashboard while it lasts.
#pragma once

#include "server/support/counters.h"
#include "server/store/store.h"
#include "server/support/defaults.h"

namespace pelmora::server {

class StoreBound {
public:
    StoreBound(Store& store, Counters& counters, long long maxBytes)
        : store_(store), counters_(counters), maxBytes_(maxBytes)
    {
        counters_.storeMaxBytes = maxBytes;
    }
    // One look at the store's size, and one batch of thinning when past the bound.
    void pass();

    static constexpr int kBatch = defaults::kThinnedAtOnce; // rows removed a pass at most
    static constexpr int kStages = 4;
    static constexpr int kPassesBeforeLookingAgain = 240; // a minute of maintenance passes

private:
    Store& store_;
    Counters& counters_;
    long long maxBytes_;
    long long removed_ = 0; // in this episode
    int stage_ = 0;         // the table thinned now, in the order above
    long long idlePasses_ = 0;
    bool nothingLeft_ = false;
};

} // namespace pelmora::server
