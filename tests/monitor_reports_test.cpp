// Reports to a real monitor server on 127.0.0.1:25876: the record's exact
// bytes, the slot rules, every command, and the exit record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "state/monitor_state.h"
#include "net/monitor_reports.h"
#include "platform/platform.h"
#include "support/client_dir.h"
#include "support/test_platform.h"
#include "app/server_commands.h"
#include "support/monitor_server_peer.h"
#include "support/recording_window_system.h"

namespace {

using Calls = std::vector<std::string>;
std::vector<std::string> commandsRun;
void recordCommand(const char* line) { commandsRun.push_back(line); }
void recordPause(unsigned ms) { commandsRun.push_back("pause " + std::to_string(ms)); }

struct Reporting : ::testing::Test {
    ClientDir dir;
    RecordingWindowSystem ui;
    void SetUp() override
    {
        commandsRun.clear();
        testPlatform().runCommand = recordCommand;
        testPlatform().sleepMilliseconds = recordPause;
        std::strcpy(state.ipadd, "127.0.0.1");
        std::strcpy(state.computerName, "LABPC7");
        state.cpunum = 1;
        state.unitCount = 2;
        state.progress = 45;
        std::strcpy(state.unitName, "p1234_sample");
        state.cpuMhz = 2400.0f;
        std::strcpy(state.cpuVendor, "GenuineIntel");
        std::strcpy(state.core, "coreX");
        state.frames = 100;
        state.points = 150;
        std::strcpy(state.username, "user01");
        state.team = 12345;
    }
};

std::string padded(const std::string& text) { return text + std::string(kReportBytes - text.size(), '\0'); }

TEST_F(Reporting, RecordBytesAndSlot)
{
    MonitorServer server(Script{{"\x03", std::string(1, '\0')}, {"\x09", std::string(1, '\0')}});
    sendStatusReport(obeyServerCommand);
    std::strcpy(state.username, "");
    std::strcpy(state.cpuVendor, "");
    state.quiet = 1;
    sendStatusReport(obeyServerCommand); // a non-zero slot stays whatever the server offers
    const auto records = server.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], padded("3 LABPC7 1 2 45 p1234_sample 0 2400.000000 GenuineIntel coreX 100 150 user01 12345  0"));
    EXPECT_EQ(records[1], padded("3 LABPC7 1 2 45 p1234_sample 0 2400.000000  coreX 100 150  12345  1"));
    EXPECT_EQ(state.clientSlot, 3);
}

TEST_F(Reporting, SlotRules)
{
    {
        MonitorServer server(Script{{"\xC8", ""}});
        sendStatusReport(obeyServerCommand);
        EXPECT_EQ(state.clientSlot, -56); // the byte is signed
        EXPECT_EQ(server.records().at(0).substr(0, 4), "-56 ");
    }
    // A failed connection forgets the slot but keeps the last command.
    state.serverCommand = 3;
    sendStatusReport(obeyServerCommand);
    EXPECT_EQ(state.clientSlot, 0);
    EXPECT_EQ(state.serverCommand, 3);
    {
        MonitorServer server(Script{{"", ""}}); // closes without a word
        sendStatusReport(obeyServerCommand);
        EXPECT_EQ(state.clientSlot, 0);
        EXPECT_EQ(state.serverCommand, 0);
    }
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
    const std::string tooLong = longest + 's';
    const struct {
        const char* name;
        char byte;
        int servc;
        std::string spath;
        int command;
        int nowin;
        int quiet;
        Calls trayCalls;
        Calls commands;
    } cases[] = {
        {"nothing", 0, 1, "FAHClient", 0, 0, 0, {}, {}},
        {"exit stays for the dialog", 1, 1, "FAHClient", 1, 0, 0, {}, {}},
        {"to the tray", 2, 1, "FAHClient", 0, 1, 1, {"hide", "trayAdd "}, {}},
        {"restart the service", 3, 1, "FAHClient", 0, 0, 0, {}, restart("FAHClient")},
        {"restart with no name", 3, 1, "", 0, 0, 0, {}, restart("")},
        {"restart not allowed", 3, 0, "FAHClient", 3, 0, 0, {}, {}},
        {"restart needs servc exactly 1", 3, 2, "FAHClient", 3, 0, 0, {}, {}},
        {"service name the shell would act on", 3, 1, "fah&reboot", 3, 0, 0, {}, {}},
        {"longest service name whole", 3, 1, longest, 0, 0, 0, {}, restart(longest)},
        {"service name one too long", 3, 1, tooLong, 3, 0, 0, {}, {}},
        {"unknown byte kept, signed", '\xFF', 1, "FAHClient", -1, 0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MonitorServer server(Script{{"\x01", std::string(1, c.byte)}});
        state.servc = c.servc;
        std::strcpy(state.spath, c.spath.c_str());
        state.nowin = state.quiet = 0;
        ui.calls.clear();
        commandsRun.clear();
        sendStatusReport(obeyServerCommand);
        EXPECT_EQ(state.serverCommand, c.command);
        EXPECT_EQ(state.nowin, c.nowin);
        EXPECT_EQ(state.quiet, c.quiet);
        EXPECT_EQ(ui.calls, c.trayCalls);
        EXPECT_EQ(commandsRun, c.commands);
    }
}

TEST_F(Reporting, ToggleTwiceComesBack)
{
    MonitorServer server(Script{{"\x01", "\x02"}, {"\x01", "\x02"}});
    sendStatusReport(obeyServerCommand);
    sendStatusReport(obeyServerCommand);
    EXPECT_EQ(ui.calls, (Calls{"hide", "trayAdd ", "trayDelete", "show"}));
    EXPECT_EQ(state.nowin, 0);
    EXPECT_EQ(state.quiet, 0);
    EXPECT_EQ(state.serverCommand, 0);
}

TEST_F(Reporting, ExitRecordKeepsTheOldTail)
{
    std::vector<std::string> records;
    {
        MonitorServer server(Script{{"\x05", "\x01"}, {"\x06", "\x02"}});
        std::strcpy(state.unitName, "p1234_a_rather_long_unit_name_here");
        sendStatusReport(obeyServerCommand);
        std::strcpy(state.unitName, "p9");
        sendExitReport();
        records = server.records(2);
    }
    ASSERT_EQ(records.size(), 2u);
    const std::string exitText = "5 LABPC7 1 2 45 p9 1 2400.000000 GenuineIntel coreX 100 150 user01 12345  0";
    EXPECT_EQ(records[1].substr(0, exitText.size() + 1), exitText + '\0');
    EXPECT_EQ(records[1].substr(exitText.size() + 1), records[0].substr(exitText.size() + 1));
    EXPECT_NE(records[1].substr(exitText.size() + 1, 5), std::string(5, '\0'));
    EXPECT_EQ(state.shuttingDown, 1);
    // The exit exchange reads no command.
    EXPECT_EQ(state.serverCommand, 1);
    EXPECT_EQ(state.quiet, 0);
    EXPECT_TRUE(ui.calls.empty());
}

TEST_F(Reporting, ExitReportWithoutServerForgetsTheSlot)
{
    state.clientSlot = 4;
    sendExitReport();
    EXPECT_EQ(state.clientSlot, 0);
    EXPECT_EQ(state.shuttingDown, 1);
}

} // namespace
