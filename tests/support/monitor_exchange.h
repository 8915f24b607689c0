#pragma once
// One exchange with a monitor server as the monitor makes it, for the
// programs that play monitors at pelmora-server (its benchmark, the
// simulated fleet): connect to 127.0.0.1:port, read the slot byte, send the
// record made for that slot, read the command byte. Linux only.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/monitor_protocol.h"
#include "state/constants.h"

namespace pelmora {

// What a simulated monitor reports (the slot is the server's).
struct MonitorRecordFields {
    std::string computerName;
    int cpu = 1;
    int unitsSeen = 0;
    int progress = 0;
    std::string unit;
    double cpuMhz = 2400;
    std::string cpuVendor = "GenuineIntel";
    std::string core = "GroCVS";
    int frames = 100;
    int points = 150;
    std::string user;
    int team = 0;
};

// The record's text for these fields, as the monitor formats it.
inline std::string monitorRecordText(int slot, const MonitorRecordFields& f)
{
    protocol::RecordValues v;
    v.slot = slot;
    v.computerName = f.computerName.c_str();
    v.cpu = f.cpu;
    v.unitsSeen = f.unitsSeen;
    v.progress = f.progress;
    v.unit = f.unit.c_str();
    v.cpuMhz = f.cpuMhz;
    v.cpuVendor = f.cpuVendor.c_str();
    v.core = f.core.c_str();
    v.frames = f.frames;
    v.points = f.points;
    v.user = f.user.c_str();
    v.team = f.team;
    char text[protocol::kRecordBytes];
    protocol::formatRecord(v, text, sizeof text);
    return text;
}

// The command byte (0: none), or -1 on any fault. makeRecord(slot) gives the
// record's text; the rest of the record is zeros.
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
        char record[protocol::kRecordBytes] = {};
        const std::string text = makeRecord(static_cast<int>(slot));
        std::memcpy(record, text.data(), text.size() < sizeof record ? text.size() : sizeof record - 1);
        ok = ::send(fd, record, sizeof record, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof record) &&
             ::recv(fd, &command, 1, 0) == 1;
    }
    ::close(fd);
    return ok ? command : -1;
}

} // namespace pelmora
