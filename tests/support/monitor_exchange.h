#pragma once
// One exchange with a monitor server as the monitor makes it, for the
// programs that play monitors at pelmora-server (its benchmark, the
// simulated fleet): connect to 127.0.0.1:port, read the slot byte, send the
// 768-byte record made for that slot, read the command byte. Linux only.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "state/constants.h"

// The command byte (0: none), or -1 on any fault. makeRecord(slot) gives the
// record's text; the rest of the 768 bytes are zeros.
template <typename MakeRecord>
int monitorExchange(int port, MakeRecord makeRecord)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    timeval limit{kTcpTransferTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    signed char slot = 0;
    unsigned char command = 0;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && ::recv(fd, &slot, 1, 0) == 1;
    if (ok) {
        char record[kReportBytes] = {};
        const std::string text = makeRecord(static_cast<int>(slot));
        std::memcpy(record, text.data(), text.size() < sizeof record ? text.size() : sizeof record - 1);
        ok = ::send(fd, record, sizeof record, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof record) &&
             ::recv(fd, &command, 1, 0) == 1;
    }
    ::close(fd);
    return ok ? command : -1;
}
