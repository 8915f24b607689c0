// The settings file: any bytes in pelmora.ini, read twice.
#include <cstring>

#include "state/monitor_state.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "state_checks.h"

using namespace pelmora;

namespace {
MonitorState first;

// What a second read makes of delay. A "delay" line that reads no number
// converts the value held again: when no delay line of the file reads one,
// the first read takes delay from 0 k steps along this chain, the second k more.
int delayAfterSecondRead(int firstDelay)
{
    const int chain[] = {60, 60 * 60, 60 * 60 * 60, kMaxDelayMinutes * 60};
    for (int step = 0; step < 4; ++step)
        if (firstDelay == chain[step]) return chain[2 * step + 1 < 3 ? 2 * step + 1 : 3];
    return firstDelay;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetMonitorState();
    writeScratchFile("pelmora.ini", data, size);
    require(readSettings() == 1, "readSettings: the file is there, yet the result is not 1");
    std::memcpy(static_cast<void*>(&first), &state, sizeof state);

    // The same file again changes nothing, delay aside.
    require(readSettings() == 1, "readSettings: the second read's result is not 1");
    checkStateTexts();
    require(state.delay == first.delay || state.delay == delayAfterSecondRead(first.delay),
            "readSettings: the second read moved delay where no held value goes");
    checkStateUnchanged(first, {"delay"});

    const unsigned period = pollPeriodMilliseconds();
    require(period >= kMinPollSeconds * 1000u && period <= kMaxDelayMinutes * 60000u,
            "pollPeriodMilliseconds: under the minimum or past the largest delay");
    return 0;
}
