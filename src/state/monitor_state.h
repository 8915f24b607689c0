#pragma once
// The one process-wide record that every part of the program reads and
// writes. Text fields are fixed-width, NUL-terminated 8-bit text; a width is
// the array size including the terminator.
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "protocol/monitor_protocol.h"
#include "state/constants.h"

namespace pelmora {

// What the program keeps of the notification-area icon between requests: the
// tooltip that an add sends. The front-end owns the platform's own record.
struct TrayIconRecord {
    char szTip[128];
};

// One blocking TCP client connection (see net/tcp_link.h).
struct SocketLink {
    const char* host;  // dotted IPv4 text, not owned
    int port;          // host byte order; the low 16 bits are used
    long long sock;    // kInvalidSocket when there is none
    int received;      // bytes the latest receive delivered
    int sent;          // bytes the latest send-all has sent so far
    int lastError;
    unsigned flags;    // bit 0: this link started the sockets library
};

struct MonitorState {
    // Settings (pelmora.ini); quiet and nowin also change at run time.
    int delay = 0;        // poll interval in seconds (the file gives minutes)
    int cpunum = 0;       // "CPU#"
    int ontop = 0;
    int fhlog = 0;        // exactly 1: banner and unit entries; non-zero: summary
    int stats = 0;        // report to the monitor server
    int quiet = 0;        // in the tray
    char spath[256] = {}; // service restarted on server command 3
    char ipadd[64] = {};  // monitor server, dotted IPv4
    int servc = 0;
    int korv = 0;         // key "korv!": submit finished units to the stats site
    int nowin = 0;
    char khost[256] = {}; // stats site, "host" or "host:port"; empty: the built-in host

    // Client identity (../client.cfg).
    char username[57] = {};
    int team = 0;
    int machineId = 0;

    // Machine facts.
    char computerName[50] = {};
    char cpuVendor[16] = {};
    char cpuName[51] = {};
    float cpuMhz = 0.0f;
    uint64_t totalPhysBytes = 0; // 64-bit so that machines past 4 GiB count right

    // The work unit (../unitinfo.txt and database.txt).
    char unitName[75] = {};
    char previousUnitName[36] = {}; // first 35 characters; the last byte stays 0
    int progress = 0;
    char startMonth[15] = {};
    char startDay[20] = {};
    char startTime[20] = {};
    char dueMonth[15] = {};
    char dueDay[20] = {};
    char dueTime[23] = {};
    int unitCount = 0;        // "WU#"
    double unitMinutes = 0.0;
    float frameMinutes = 0.0f;
    int projectNumber = 0;
    int points = 0;
    int frames = 0;
    char core[15] = {};

    // Clock and flags.
    time_t programStart = 0;
    time_t unitStart = 0;
    time_t now = 0;
    int firstPoll = 1;
    int clientSlot = 0;
    int serverCommand = 0;
    int shuttingDown = 0;
    int exiting = 0;          // the exit request is being carried out

    // Window-system objects, opaque to the core.
    void* instance = nullptr;
    void* mainWindow = nullptr;
    TrayIconRecord trayIcon = {};

    // Scratch space shared in turn; it holds nothing between operations.
    char lineBuffer[512] = {};
    char wordBuffer[500] = {};
    char reportBuffer[protocol::kRecordBytes] = {};
    char receiveBuffer[128000] = {};
    char urlBuffer[1024] = {};
    char textBuffer[256] = {};
    char tipBuffer[1024] = {};
    char logBuffer[4096] = {}; // one write per log group
    FILE* input = nullptr;     // settings, identity and unit file, one at a time
    FILE* logFile = nullptr;
    SocketLink link = {};      // the monitor-server connection, one report at a time
};

extern MonitorState state;

// Puts every field back to its value at process start.
void resetMonitorState();

} // namespace pelmora
