// The project database: any bytes in database.txt, looked up for a few unit names.
#include <cstring>

#include "state/monitor_state.h"
#include "fuzz_support.h"
#include "state_checks.h"
#include "workunit/project_database.h"

using namespace pelmora;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const kNames[] = {"p2665_R_Zn_Cyc_R3", "p0_zero", "p99999999", "pabc", ""};
    resetMonitorState();
    writeScratchFile("database.txt", data, size);
    for (const char* name : kNames) {
        std::strcpy(state.unitName, name);
        lookUpProject();
    }
    checkStateTexts();
    return 0;
}
