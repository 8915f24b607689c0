// The stats site's replies. A peer thread on a loopback port of its own
// reads each request head and answers with the fuzz input, byte for byte,
// then closes. The submission saves the reply to Korvex.html.
#include <arpa/inet.h>
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
#include "net/stats_site.h"
#include "state_checks.h"

namespace {
constexpr int kPeerWaitMs = 2000;

std::mutex inputLock;
std::string replyBytes;
int peerPort = 0;

void readHead(int fd)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, kPeerWaitMs) <= 0) return;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        head.append(buffer, static_cast<size_t>(n));
    }
}

void serve(int listener)
{
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(inputLock);
            bytes = replyBytes;
        }
        readHead(client);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(client, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        shutdown(client, SHUT_WR);
        close(client);
    }
}

void startPeer()
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("fuzz_stats_site: listen");
        std::exit(1);
    }
    peerPort = ntohs(address.sin_port);
    std::thread(serve, listener).detach();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    enterScratchClientDir();
    startPeer();
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
