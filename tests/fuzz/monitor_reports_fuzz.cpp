// The monitor server's replies. A peer thread on 127.0.0.1:25876 plays the
// server with the fuzz input: the first byte says how many of the following
// bytes (low 7 bits) go before the report and whether the peer ends with a
// reset (high bit); the rest goes after the report. With nothing to say
// before the report the peer closes at once. Each input is played to a
// status report and then to an exit report.
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "state/monitor_state.h"
#include "fuzz_support.h"
#include "net/monitor_reports.h"
#include "app/server_commands.h"
#include "support/test_platform.h"
#include "state_checks.h"

namespace {
constexpr int kPeerWaitMs = 2000;

std::mutex inputLock;
std::string serverBytes;

void receiveReport(int fd)
{
    char buffer[1024];
    int got = 0;
    while (got < kReportBytes) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, kPeerWaitMs) <= 0) return;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        got += static_cast<int>(n);
    }
}

void sendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void play(int fd, const std::string& bytes)
{
    const unsigned char control = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
    const std::string rest = bytes.empty() ? std::string() : bytes.substr(1);
    const size_t before = std::min<size_t>(control & 0x7F, rest.size());
    if (before > 0) {
        sendAll(fd, rest.data(), before);
        receiveReport(fd);
        sendAll(fd, rest.data() + before, rest.size() - before);
    }
    if (control & 0x80) {
        linger abortive = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    close(fd);
}

void serve(int listener)
{
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(inputLock);
            bytes = serverBytes;
        }
        play(client, bytes);
    }
}

void startPeer()
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kMonitorServerPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
        std::perror("fuzz_monitor_reports: 127.0.0.1:25876 is taken");
        std::exit(1);
    }
    std::thread(serve, listener).detach();
}

void setUpState()
{
    resetMonitorState();
    std::strcpy(state.ipadd, "127.0.0.1");
    std::strcpy(state.computerName, "fuzzhost");
    std::strcpy(state.unitName, "p2665_R_Zn_Cyc_R3");
    std::strcpy(state.spath, "FAHClient");
    std::strcpy(state.username, "FoldingFan");
    state.stats = 1;
    state.servc = 1;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    testPlatform().runCommand = [](const char*) {};
    testPlatform().sleepMilliseconds = [](unsigned) {};
    startPeer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::lock_guard<std::mutex> hold(inputLock);
        serverBytes.assign(reinterpret_cast<const char*>(data), size);
    }
    setUpState();
    sendStatusReport(obeyServerCommand);
    sendExitReport();
    checkStateTexts();
    return 0;
}
