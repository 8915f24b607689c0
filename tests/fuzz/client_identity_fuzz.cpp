// The client identity file: any bytes in ../client.cfg.
#include "state/monitor_state.h"
#include "config/client_identity.h"
#include "fuzz_support.h"
#include "state_checks.h"

using namespace pelmora;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    resetMonitorState();
    writeScratchFile("../client.cfg", data, size);
    readClientIdentity();
    checkStateTexts();
    return 0;
}
