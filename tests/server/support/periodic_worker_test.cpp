// The worker's waits: a wake ends only a wakeable one, and only a wake
// from the step's start on (also one during the step); a stop ends any at
// once; a fixed period holds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server/support/periodic_worker.h"

using namespace pelmora::server;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(PeriodicWorker, WakeAndStopEndTheWaitsTheyShould)
{
    enum Signal { wakeBeforeStep, wakeDuringStep, wakeAfterStep, stop };
    const struct Case {
        bool wakeable;
        int waitMs;  // asked for by the first step
        Signal signal;
        int steps;   // the second one stops the worker
        int leastMs; // from the first step's end to the second step, or the end
        int mostMs;
    } cases[] = {
        {true, 10000, wakeAfterStep, 2, 0, 2000},  {true, 10000, wakeDuringStep, 2, 0, 2000},
        {true, 500, wakeBeforeStep, 2, 500, 5000}, {false, 500, wakeAfterStep, 2, 500, 5000},
        {false, 10000, stop, 1, 0, 2000},          {true, 10000, stop, 1, 0, 2000},
    };
    for (const Case& c : cases) {
        PeriodicWorker worker;
        if (c.signal == wakeBeforeStep) worker.wake();
        std::atomic<int> steps{0};
        std::atomic<Clock::rep> firstEnd{0};
        std::thread running([&] {
            worker.run([&] {
                if (++steps == 1) {
                    if (c.signal == wakeDuringStep) worker.wake();
                    firstEnd = Clock::now().time_since_epoch().count();
                    return PeriodicWorker::Wait{milliseconds(c.waitMs), c.wakeable};
                }
                worker.stop();
                return PeriodicWorker::Wait{};
            });
        });
        while (firstEnd == 0) std::this_thread::yield();
        if (c.signal == wakeAfterStep) worker.wake();
        if (c.signal == stop) worker.stop();
        running.join();
        const auto took = std::chrono::duration_cast<milliseconds>(
                              Clock::now() - Clock::time_point(Clock::duration(firstEnd.load())))
                              .count();
        EXPECT_EQ(steps, c.steps) << c.wakeable << " " << c.signal;
        EXPECT_GE(took, c.leastMs) << c.wakeable << " " << c.signal;
        EXPECT_LT(took, c.mostMs) << c.wakeable << " " << c.signal;
    }
}

TEST(PeriodicWorker, KeepsItsPeriod)
{
    PeriodicWorker worker;
    std::atomic<int> steps{0};
    worker.start(milliseconds(200), [&] { ++steps; });
    std::this_thread::sleep_for(milliseconds(700)); // steps at 0, 200, 400 and 600 ms
    worker.stop();
    EXPECT_GE(steps, 2);
    EXPECT_LE(steps, 4);
}
