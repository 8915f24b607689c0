// The monitor server's replies. A loopback peer on 127.0.0.1:25876 plays the
// server with the fuzz input: the first byte says how many of the following
// bytes (low 7 bits) go before the report and whether the peer ends with a
// reset (high bit); the rest goes after the report. With nothing to say
// before the report the peer closes at once. Each input is played to a
// status report and then to an exit report.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "app/server_commands.h"
#include "fuzz_support.h"
#include "net/monitor_reports.h"
#include "state/monitor_state.h"
#include "state_checks.h"
#include "support/monitor_server_peer.h"
#include "support/test_platform.h"
#include "support/sample_state.h"

using namespace pelmora;

namespace {
std::mutex inputLock;
std::string serverBytes;

void play(PeerConnection& peer)
{
    std::string bytes;
    {
        std::lock_guard<std::mutex> hold(inputLock);
        bytes = serverBytes.empty() ? std::string(1, '\0') : serverBytes;
    }
    const size_t before = std::min<size_t>(bytes[0] & 0x7F, bytes.size() - 1);
    const std::string after = before > 0 ? bytes.substr(1 + before) : std::string();
    const size_t recordBytes = before > 0 ? protocol::kRecordBytes : 0;
    Turn{bytes.substr(1, before), after, recordBytes, 0, (bytes[0] & 0x80) != 0}.play(peer);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    testPlatform().runCommand = [](const char*) {};
    testPlatform().sleepMilliseconds = [](unsigned) {};
    static LoopbackServer* peer = new LoopbackServer(protocol::kPort, play); // for the whole run
    (void)peer;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::lock_guard<std::mutex> hold(inputLock);
        serverBytes.assign(reinterpret_cast<const char*>(data), size);
    }
    resetMonitorState();
    fillSampleState();
    state.stats = 1;
    state.servc = 1;
    sendStatusReport(obeyServerCommand);
    sendExitReport();
    checkStateTexts();
    return 0;
}
