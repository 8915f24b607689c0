// Reports to a real monitor server on 127.0.0.1:25876: the record's exact
// bytes, the slot rules, every command, the exit record, and servers that
// misbehave.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "app/server_commands.h"
#include "net/monitor_reports.h"
#include "protocol/monitor_protocol.h"
#include "state/monitor_state.h"
#include "support/client_dir.h"
#include "support/sample_state.h"
#include "support/monitor_server_peer.h"
#include "support/recording_window_system.h"
#include "support/test_platform.h"

namespace pelmora {

namespace {

using Calls = std::vector<std::string>;
using protocol::kRecordBytes;
Calls commandsRun;

struct Reporting : ::testing::Test {
    ClientDir dir;
    RecordingWindowSystem ui;
    void SetUp() override
    {
        commandsRun.clear();
        testPlatform().runCommand = [](const char* line) { commandsRun.push_back(line); };
        testPlatform().sleepMilliseconds = [](unsigned ms) { commandsRun.push_back("pause " + std::to_string(ms)); };
        fillSampleState();
    }
};

// The record the fixture's state makes, NUL-padded to its 768 bytes: the
// state's values, field by field, written as the record table writes them
// (whose own test pins the bytes).
std::string recordFor(int slot, const char* unit = "p1234_sample", int shuttingDown = 0)
{
    protocol::RecordValues v;
    v.slot = slot, v.computerName = "LABPC7", v.cpu = 1, v.unitsSeen = 2, v.progress = 45, v.unit = unit;
    v.exiting = shuttingDown, v.cpuMhz = 2400, v.cpuVendor = "GenuineIntel", v.core = "coreX", v.frames = 100;
    v.points = 150, v.user = "user01", v.team = 12345, v.inTray = 0;
    std::string bytes(kRecordBytes, '\0');
    protocol::formatRecord(v, &bytes[0], bytes.size());
    return bytes;
}

TEST_F(Reporting, NoServerForgetsTheSlotKeepsTheCommand)
{
    for (const bool exiting : {false, true}) {
        state.clientSlot = 4;
        state.serverCommand = 3;
        exiting ? sendExitReport() : sendStatusReport(obeyServerCommand);
        EXPECT_EQ(state.clientSlot, 0);
        EXPECT_EQ(state.serverCommand, 3);
    }
    EXPECT_EQ(state.shuttingDown, 1);
}

// The service commands of each platform, and the longest service name whose
// lines both fit the 255-byte command line ("NET START " and 244 characters;
// "systemctl start " and 238).
#ifdef _WIN32
const std::string kStop = "NET STOP ", kStart = "NET START ";
constexpr size_t kLongestServiceName = 244;
#else
const std::string kStop = "systemctl stop ", kStart = "systemctl start ";
constexpr size_t kLongestServiceName = 238;
#endif

TEST_F(Reporting, Commands)
{
    const auto restart = [](const std::string& name) { return Calls{kStop + name, "pause 5000", kStart + name}; };
    const std::string longest(kLongestServiceName, 's');
    const struct {
        const char* name;
        char byte;
        int servc;
        std::string spath;
        int inTray; // nowin and quiet before
        int command, nowin, quiet;
        Calls trayCalls, commands;
    } cases[] = {
        {"nothing", 0, 1, "FAHClient", 0, 0, 0, 0, {}, {}},
        {"exit stays for the dialog", 1, 1, "FAHClient", 0, 1, 0, 0, {}, {}},
        {"to the tray", 2, 1, "FAHClient", 0, 0, 1, 1, {"hide", "trayAdd "}, {}},
        {"back from the tray", 2, 1, "FAHClient", 1, 0, 0, 0, {"trayDelete", "show"}, {}},
        {"restart the service", 3, 1, "FAHClient", 0, 0, 0, 0, {}, restart("FAHClient")},
        {"restart with no name", 3, 1, "", 0, 0, 0, 0, {}, restart("")},
        {"restart not allowed", 3, 0, "FAHClient", 0, 3, 0, 0, {}, {}},
        {"restart needs servc exactly 1", 3, 2, "FAHClient", 0, 3, 0, 0, {}, {}},
        {"service name the shell would act on", 3, 1, "fah&reboot", 0, 3, 0, 0, {}, {}},
        {"longest service name whole", 3, 1, longest, 0, 0, 0, 0, {}, restart(longest)},
        {"service name one too long", 3, 1, longest + 's', 0, 3, 0, 0, {}, {}},
        {"unknown byte kept, signed", '\xFF', 1, "FAHClient", 0, -1, 0, 0, {}, {}},
    };
    state.clientSlot = 3; // once given, kept whatever the server offers
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MonitorServer server(Script{{"\x09", std::string(1, c.byte)}});
        state.servc = c.servc;
        std::strcpy(state.spath, c.spath.c_str());
        state.nowin = state.quiet = c.inTray;
        ui.calls.clear();
        commandsRun.clear();
        sendStatusReport(obeyServerCommand);
        EXPECT_EQ(state.serverCommand, c.command);
        EXPECT_EQ(state.nowin, c.nowin);
        EXPECT_EQ(state.quiet, c.quiet);
        EXPECT_EQ(ui.calls, c.trayCalls);
        EXPECT_EQ(commandsRun, c.commands);
        EXPECT_EQ(server.recordsWhenStopped().at(0).substr(0, 2), "3 ");
    }
}

// The exit record is written over the last one: past its terminator the
// bytes of the longer record before it stay. No command is read.
TEST_F(Reporting, ExitRecordKeepsTheOldTail)
{
    MonitorServer server(Script{{"\x05", "\x01"}, {"\x06", "\x02"}});
    std::strcpy(state.unitName, "p1234_a_rather_long_unit_name_here");
    sendStatusReport(obeyServerCommand);
    std::strcpy(state.unitName, "p9");
    sendExitReport();
    const Calls records = server.recordsWhenStopped();
    ASSERT_EQ(records.size(), 2u);
    const std::string exitRecord = recordFor(5, "p9", 1), before = records[0];
    const size_t end = exitRecord.find('\0') + 1;
    EXPECT_EQ(records[1], exitRecord.substr(0, end) + before.substr(end));
    EXPECT_NE(before.substr(end, 5), std::string(5, '\0'));
    EXPECT_EQ(state.serverCommand, 1);
}

// Servers that misbehave. Each exchange ends within the time-outs; the slot
// and the command are what the bytes that came make them; nothing received
// reaches past the receive buffer. A silent server costs one 10-second
// receive time-out, after which the failed link sends nothing more.
TEST_F(Reporting, ServersThatMisbehave)
{
#ifdef _WIN32
    constexpr int kTimedOut = 10060; // WSAETIMEDOUT
#else
    constexpr int kTimedOut = ETIMEDOUT;
#endif
    const std::string flood(300 * 1024, '\x01'), zeros(30, '\0');
    const struct {
        const char* name;
        Turn turn;
        int slot, command;
        size_t recordBytes; // of the record the server took in
        int seconds;        // the exchange took
    } cases[] = {
        {"signed slot, no command", {"\xC8", ""}, -56, 0, kRecordBytes, 0},
        {"closes without a word", {"", "", 0}, 0, 0, 0, 0},
        {"oversized answers", {"\x06" + std::string(999, '\x7f'), "\x01" + std::string(999, '\x7f')}, 6, 1,
         kRecordBytes, 0},
        {"drips every byte, on past the command", {"\x05", "\x01" + zeros, kRecordBytes, 100}, 5, 1, kRecordBytes, 0},
        {"floods", {"\x03" + flood, flood}, 3, 1, kRecordBytes, 0},
        // It waits for the record's first byte: a reset that comes before the
        // client's connect has returned fails the connect itself.
        {"resets after the slot, as the record starts", {"\x04", "", 1, 0, true}, 4, 0, 1, 0},
        {"resets after the record", {"\x04", "", kRecordBytes, 0, true}, 4, 0, kRecordBytes, 0},
        {"closes mid-record", {"\x07", "", 100}, 7, 0, 100, 0},
        {"silent", {"", ""}, 0, 0, 0, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        state.clientSlot = 0;
        state.serverCommand = 9;
        std::strcpy(state.urlBuffer, "after the receive buffer");
        MonitorServer server(Script{c.turn});
        const auto began = std::chrono::steady_clock::now();
        sendStatusReport(obeyServerCommand);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        EXPECT_EQ(server.recordsWhenStopped(), Calls{recordFor(c.slot).substr(0, c.recordBytes)});
        EXPECT_EQ(state.clientSlot, c.slot);
        EXPECT_EQ(state.serverCommand, c.command);
        EXPECT_STREQ(state.urlBuffer, "after the receive buffer");
        EXPECT_GT(took.count(), c.seconds - 1.0);
        EXPECT_LT(took.count(), c.seconds + 3.0);
        if (c.seconds > 0) {
            EXPECT_EQ(state.link.lastError, kTimedOut);
        }
    }
}

} // namespace

} // namespace pelmora
