// The fleet view published early when the store signals a change written
// by any server on it (store.h's ChangeSignal), so a report or a command
// taken by another server is on this one's pages and event streams within
// a moment; the upkeep's publishing every half second stays as the
// fallback. Word of many changes is taken together: after an early
// publish it waits kPauseMilliseconds, so there is at most one such publish
// in that time. Nothing runs for a store with no signal.
#pragma once

#include <memory>
#include <thread>

#include "server/fleet/fleet_view.h"
#include "server/support/periodic_worker.h"

namespace pelmora::server {

class ChangeWatch {
public:
    static constexpr int kWaitMilliseconds = 100;  // each wait, so a stop is seen soon
    static constexpr int kPauseMilliseconds = 100; // after each early publish

    ChangeWatch(Store& store, FleetView& fleet) : signal_(store.changeSignal()), fleet_(fleet) {}
    void start();
    ~ChangeWatch() { stop(); }
    void stop();

private:
    std::unique_ptr<ChangeSignal> signal_;
    FleetView& fleet_;
    PeriodicWorker worker_;
    std::thread thread_;
};

} // namespace pelmora::server
