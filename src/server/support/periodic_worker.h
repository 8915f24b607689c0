// A worker that runs a step, waits, and runs it again until stopped: the
// store's upkeep, the alert engine and the webhook each run on one. A stop
// ends the wait at once; a step under way finishes first (or looks at
// stopping() to cut itself short).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace pelmora::server {

class PeriodicWorker {
public:
    // How long to wait before the next step, and whether wake() ends the wait.
    struct Wait {
        std::chrono::milliseconds time{0};
        bool wakeable = false;
    };
    using Step = std::function<Wait()>;

    PeriodicWorker() = default;
    PeriodicWorker(const PeriodicWorker&) = delete;
    PeriodicWorker& operator=(const PeriodicWorker&) = delete;
    ~PeriodicWorker(); // stops and joins

    // Runs STEP on a thread of its own, then every PERIOD after each step ends.
    void start(std::chrono::milliseconds period, std::function<void()> step);
    // Runs STEP on the calling thread, each time after the wait it asked for, until stop().
    void run(const Step& step);
    // Ends the wait, lets the step under way finish, and joins the thread start() made.
    void stop();
    // Ends a wakeable wait now; a wake during a step ends the wait after it.
    void wake();

    bool stopping() const { return stop_.load(); }
    // Waits TIME (less if woken, when WAKEABLE); false once stopped.
    bool pause(std::chrono::milliseconds time, bool wakeable);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    std::atomic<bool> stop_{false}; // also read without the lock, by a step that cuts itself short
    std::thread thread_;
};

} // namespace pelmora::server
