#include "server/support/periodic_worker.h"

namespace pelmora::server {

PeriodicWorker::~PeriodicWorker() { stop(); }

void PeriodicWorker::start(std::chrono::milliseconds period, std::function<void()> step)
{
    thread_ = std::thread([this, period, step = std::move(step)] {
        run([&] {
            step();
            return Wait{period, false};
        });
    });
}

void PeriodicWorker::run(const Step& step)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            woken_ = false; // a wake from here on is for something this step may miss
        }
        const Wait wait = step();
        if (!pause(wait.time, wait.wakeable)) return;
    }
}

void PeriodicWorker::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void PeriodicWorker::wake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    changed_.notify_all();
}

bool PeriodicWorker::pause(std::chrono::milliseconds time, bool wakeable)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, time, [&] { return stop_ || (wakeable && woken_); });
    return !stop_;
}

} // namespace pelmora::server
