#pragma once
// The poll timer of the terminal front-end: a period on the monotonic clock,
// waited for by the one wait for keys and signals, never by spinning.
#include <cstdint>

namespace pelmora {

// The monotonic clock in milliseconds.
int64_t monotonicMilliseconds();

class PollTimer {
public:
    // Starts (or restarts) the timer: the first tick one period from now.
    void start(unsigned periodMs, int64_t now);
    bool running() const { return running_; }
    bool isDue(int64_t now) const { return running_ && now >= due_; }
    // The wait's time-out in milliseconds until the next tick: rounded up,
    // so the wait never ends just short of it; -1 when there is no timer.
    int timeoutMs(int64_t now) const;
    // A tick has been handled and its handling ended at `now`: the next one
    // comes a period after the one just handled, or at once when that time
    // has already passed. At most one tick is ever pending; ticks missed
    // while the program was busy are not made up.
    void ticked(int64_t now);

private:
    bool running_ = false;
    int64_t period_ = 0;
    int64_t due_ = 0;
};

} // namespace pelmora
