// The unit file: any bytes in ../unitinfo.txt, read after a poll that saw
// another unit, with the activity log kept (fhlog 1), so that a new name runs
// the whole change: the log group, the project look-up and the tray tip. The
// same file is then read a second time, on a later clock.
#include <cstring>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "support/test_platform.h"
#include "state_checks.h"
#include "workunit/activity_log.h"
#include "workunit/unit_file.h"
#include "app/dialog.h"

using namespace pelmora;

namespace {
constexpr time_t kFirstClock = 1000000;
constexpr time_t kSecondClock = 2000000;

MonitorState first;

// How many "Name:" lines the file can hold at most.
size_t nameLines(const uint8_t* data, size_t size)
{
    size_t count = 0;
    for (size_t at = 0; at + 5 <= size; ++at) count += std::memcmp(data + at, "Name:", 5) == 0;
    return count;
}
} // namespace

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
    pinClock(kFirstClock);
    require(readUnitFile(unitChanged) == 1, "readUnitFile: the file is there, yet the result is not 1");
    std::memcpy(static_cast<void*>(&first), &state, sizeof state);

    // The second read sees a new unit only where the file's own names differ
    // (its last name is held now). Such a unit is timed on this read's clock
    // and counted, and the tip and the log move on; nothing else changes.
    pinClock(kSecondClock);
    require(readUnitFile(unitChanged) == 1, "readUnitFile: the second read's result is not 1");
    checkStateTexts();
    if (state.unitCount > first.unitCount) {
        require(nameLines(data, size) >= 2, "readUnitFile: a second read counted a unit though the file names one");
        require(state.now == kSecondClock && state.unitStart == kSecondClock,
                "readUnitFile: a unit counted on the second read was not timed there");
        checkStateUnchanged(first, {"previousUnitName", "unitCount", "now", "unitStart", "unitMinutes",
                                    "frameMinutes", "tipBuffer", "trayIcon.szTip", "logBuffer"});
    } else {
        checkStateUnchanged(first, {"previousUnitName"});
    }
    // It holds the name before the file's last "Name:" line: the same as after
    // the first read, or the held name when the file gives only one.
    char heldName[sizeof state.previousUnitName];
    copyCut(heldName, sizeof heldName, first.unitName);
    require(std::strcmp(state.previousUnitName, first.previousUnitName) == 0 ||
                std::strcmp(state.previousUnitName, heldName) == 0,
            "readUnitFile: previousUnitName is neither as before nor the held name");

    removeScratchFile(kLogPath);
    return 0;
}
