#include "server/fleet/change_watch.h"

#include <chrono>
#include <ctime>

#include "server/support/log.h"

namespace pelmora::server {

void ChangeWatch::start()
{
    if (!signal_) return;
    thread_ = std::thread([this] {
        worker_.run([this] {
            const PeriodicWorker::Wait pause{std::chrono::milliseconds(kPauseMilliseconds)};
            try {
                if (!signal_->wait(kWaitMilliseconds)) return PeriodicWorker::Wait{};
                fleet_.publish(std::time(nullptr));
            } catch (const std::exception& e) {
                logEvent(Level::error, std::string("publishing a change failed: ") + e.what());
            }
            return pause;
        });
    });
}

void ChangeWatch::stop()
{
    worker_.stop();
    if (thread_.joinable()) thread_.join();
}

} // namespace pelmora::server
