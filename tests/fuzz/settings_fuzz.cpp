// The settings file: any bytes in pelmora.ini.
#include "app/monitor_state.h"
#include "config/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetMonitorState();
    writeScratchFile("pelmora.ini", data, size);
    readSettings();
    pollPeriodMilliseconds();
    return 0;
}
