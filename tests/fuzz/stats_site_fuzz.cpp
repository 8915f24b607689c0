// The stats site's replies. A loopback peer on a port of its own reads each
// request head and answers with the fuzz input, byte for byte, then closes.
// The submission saves the reply to Korvex.html.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "fuzz_support.h"
#include "net/stats_site.h"
#include "state/monitor_state.h"
#include "state_checks.h"
#include "support/loopback_peer.h"

using namespace pelmora;

namespace {
std::mutex inputLock;
std::string replyBytes;
int peerPort = 0;

void answer(PeerConnection& peer)
{
    std::string bytes;
    {
        std::lock_guard<std::mutex> hold(inputLock);
        bytes = replyBytes;
    }
    peer.receiveRequestHead();
    peer.send(bytes);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    static LoopbackServer* site = new LoopbackServer(0, answer); // for the whole run
    peerPort = site->port();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::lock_guard<std::mutex> hold(inputLock);
        replyBytes.assign(reinterpret_cast<const char*>(data), size);
    }
    resetMonitorState();
    std::snprintf(state.khost, sizeof state.khost, "127.0.0.1:%d", peerPort);
    std::strcpy(state.username, "FoldingFan");
    std::strcpy(state.cpuName, "Fuzz CPU 1");
    std::strcpy(state.previousUnitName, "p2665_R_Zn_Cyc_R3");
    submitUnitStats();
    removeScratchFile(kStatsReplyFile);
    checkStateTexts();
    return 0;
}
