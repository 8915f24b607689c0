#include "platform/platform.h"

namespace {
bool pinned = false;
time_t pinnedValue = 0;
} // namespace

time_t clockNow() { return pinned ? pinnedValue : std::time(nullptr); }

void pinClock(time_t value)
{
    pinned = true;
    pinnedValue = value;
}

void unpinClock() { pinned = false; }
