#include "frontend/terminal/poll_timer.h"

#include <climits>
#include <ctime>

namespace pelmora {

namespace {
// As on Windows, a shorter period is taken as the shortest a timer has.
constexpr int64_t kShortestPeriodMs = 10;
} // namespace

int64_t monotonicMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PollTimer::start(unsigned periodMs, int64_t now)
{
    running_ = true;
    period_ = periodMs < kShortestPeriodMs ? kShortestPeriodMs : periodMs;
    due_ = now + period_;
}

int PollTimer::timeoutMs(int64_t now) const
{
    if (!running_) return -1;
    if (now >= due_) return 0;
    const int64_t wait = due_ - now;
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void PollTimer::ticked(int64_t now)
{
    const int64_t next = due_ + period_;
    due_ = next > now ? next : now;
}

} // namespace pelmora
