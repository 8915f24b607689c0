// The unit file: any bytes in ../unitinfo.txt, read after a poll that saw
// another unit, with the activity log kept (fhlog 1), so that a new name runs
// the whole change: the log group, the project look-up and the tray tip.
#include <cstring>

#include "app/monitor_state.h"
#include "fuzz_support.h"
#include "workunit/activity_log.h"
#include "workunit/unit_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    writeScratchFile("database.txt", "2665 srv10.fold 55412 15.22 25.56 357.45 200 Tinker\n"
                                     "1234 srv1.fold 1 1.0 2.0 3.5 0 GroGPU\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetMonitorState();
    state.fhlog = 1;
    state.quiet = 1;
    state.stats = 1;
    state.firstPoll = 0;
    state.unitCount = 1;
    state.frames = 100;
    std::strcpy(state.unitName, "p1234_previous_unit");
    writeScratchFile("../unitinfo.txt", data, size);
    readUnitFile();
    readUnitFile(); // the same file again: no change this time
    removeScratchFile(kLogPath);
    return 0;
}
