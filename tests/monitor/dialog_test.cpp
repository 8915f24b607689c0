// The dialog's behaviour as every front-end shares it: the start-up
// sequence, the poll cycle, the window/tray switch and the four endings,
// seen through the window-system requests and the log they produce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dialog.h"
#include "state/monitor_state.h"
#include "net/monitor_reports.h"
#include "platform/platform.h"
#include "support/test_platform.h"
#include "support/client_dir.h"
#include "support/monitor_server_peer.h"
#include "support/recording_window_system.h"

namespace pelmora {

namespace {

using Calls = std::vector<std::string>;
const time_t kStart = 1700000000;

const char* const kDemoUnitText = "text 101 p2665_R_Zn_Cyc_R3\nCore: Tinker\nPoint Value: 357\nTime(minutes): 0";
const char* const kDemoCounters = "text 106 CPU#: 1\nWU#: 1\nStart Date: March 3\nDue by: March 17";
const char* const kDemoTip =
    "CPU#: 1    WU#: 1\nName: p2665_R_Zn_Cyc_R3\nCore: Tinker     Points: 357\n42% Completed";

// A demo client directory with the settings given (no delay line: 5-second polls).
struct DemoRun {
    ClientDir dir;
    RecordingWindowSystem ui;
    explicit DemoRun(const std::string& settings)
    {
        dir.copyDemo();
        dir.write("pelmora.ini", settings);
        pinClock(kStart);
    }
    int start()
    {
        int result = handleDialogEvent(DialogEvent::Initialise);
        ui.calls.clear();
        return result;
    }
    std::string log() const { return dir.readText("pelmora_log.txt"); }
};

TEST(Dialog, StartUpInTheWindow)
{
    DemoRun run("cpunum 1\nfhlog 1\n");
    EXPECT_EQ(handleDialogEvent(DialogEvent::Initialise), 1);
    EXPECT_EQ(run.ui.calls, (Calls{"timer 5000", "bar 42", kDemoUnitText, kDemoCounters, "text 104 42%"}));
    EXPECT_EQ(state.firstPoll, 0);
    EXPECT_EQ(state.unitCount, 1);
    EXPECT_EQ(state.programStart, kStart);
    EXPECT_NE(run.log().find("Continuing process at 42% for p2665_R_Zn_Cyc_R3 on "), std::string::npos);
}

TEST(Dialog, StartUpInTheTray)
{
    DemoRun run("cpunum 1\nquiet 1\n");
    handleDialogEvent(DialogEvent::Initialise);
    // The add carries the tooltip left from before (none yet); the refresh fills it.
    const Calls tail(run.ui.calls.end() - 3, run.ui.calls.end());
    EXPECT_EQ(tail, (Calls{"hide", "trayAdd ", std::string("trayModify ") + kDemoTip}));
    EXPECT_FALSE(run.dir.exists("pelmora_log.txt")); // fhlog 0
}

TEST(Dialog, MissingUnitFileEndsStartUp)
{
    DemoRun run("fhlog 1\n");
    run.dir.remove("../unitinfo.txt");
    handleDialogEvent(DialogEvent::Initialise);
    EXPECT_EQ(run.ui.calls.size(), 3u);
    EXPECT_EQ(run.ui.calls.front(), "timer 5000");
    EXPECT_EQ(run.ui.calls.back(), "exit 0");
    EXPECT_EQ(state.firstPoll, 1);
    EXPECT_FALSE(run.dir.exists("pelmora_log.txt"));
    // Ticks while the message is up start no poll cycle.
    run.ui.calls.clear();
    handleDialogEvent(DialogEvent::TimerTick);
    EXPECT_TRUE(run.ui.calls.empty());
}

TEST(Dialog, PollCyclePicksUpTheNextUnit)
{
    DemoRun run("cpunum 1\nfhlog 1\n");
    run.start();
    pinClock(kStart + 600);
    run.dir.write("../unitinfo.txt", "Name: p794_next\nDownload time: April 2 01:02:03\nProgress: 0%\n");
    EXPECT_EQ(handleDialogEvent(DialogEvent::TimerTick), 0);
    EXPECT_EQ(run.ui.textOf(106), "CPU#: 1\nWU#: 2\nStart Date: April 2\nDue by: March 17");
    EXPECT_EQ(run.ui.textOf(101), "p794_next\nCore: GroCVS\nPoint Value: 1448\nTime(minutes): 0");
    EXPECT_NE(run.log().find("p2665_R_Zn_Cyc_R3 completed in 10.000000 minutes"), std::string::npos);

    // A later cycle without the file keeps the values, and the minutes grow.
    run.dir.remove("../unitinfo.txt");
    pinClock(kStart + 600 + 180);
    handleDialogEvent(DialogEvent::TimerTick);
    EXPECT_EQ(run.ui.textOf(101), "p794_next\nCore: GroCVS\nPoint Value: 1448\nTime(minutes): 3");
}

TEST(Dialog, WindowAndTraySwitch)
{
    const struct {
        const char* name;
        int nowin;
        std::vector<DialogEvent> events;
        Calls expected;
        int quiet;
    } cases[] = {
        {"minimise to the tray", 0, {DialogEvent::Minimise}, {"hide", "trayAdd ", std::string("trayModify ") + kDemoTip}, 1},
        {"minimise there and back", 1, {DialogEvent::Minimise, DialogEvent::Minimise},
         {"hide", "trayAdd ", std::string("trayModify ") + kDemoTip, std::string("trayDelete"), "show",
          std::string("trayModify ") + kDemoTip}, 0},
        {"double-click brings the window back", 0, {DialogEvent::Minimise, DialogEvent::TrayDoubleClick},
         {"hide", "trayAdd ", std::string("trayModify ") + kDemoTip, "trayDelete", "show"}, 0},
        {"nowin ignores the double-click", 1, {DialogEvent::Minimise, DialogEvent::TrayDoubleClick},
         {"hide", "trayAdd ", std::string("trayModify ") + kDemoTip}, 1},
        {"other events do nothing", 0, {DialogEvent::Other, DialogEvent::TrayDoubleClick}, {"hide", "trayAdd "}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DemoRun run("cpunum 1\nnowin " + std::to_string(c.nowin) + "\n");
        run.start();
        for (DialogEvent event : c.events) EXPECT_EQ(handleDialogEvent(event), 0);
        EXPECT_EQ(run.ui.calls, c.expected);
        EXPECT_EQ(state.quiet, c.quiet);
    }
}

TEST(Dialog, AlwaysOnTopOnlyWhileInTheWindow)
{
    DemoRun run("ontop 1\n");
    run.start();
    handleDialogEvent(DialogEvent::Other);
    EXPECT_EQ(run.ui.calls, Calls{"onTop"});
    state.quiet = 1;
    run.ui.calls.clear();
    handleDialogEvent(DialogEvent::Other);
    EXPECT_TRUE(run.ui.calls.empty());
}

TEST(Dialog, TheFourEndings)
{
    const struct {
        const char* name;
        int fhlog;
        int quiet;
        DialogEvent event;
        bool exitRequest;
        Calls expected;
        bool summary;
    } cases[] = {
        {"OK", 1, 0, DialogEvent::Ok, false, {"end 1"}, false},
        {"Cancel", 1, 0, DialogEvent::Cancel, false, {"end 0"}, true},
        {"Cancel in the tray leaves the icon", 1, 1, DialogEvent::Cancel, false, {"end 0"}, true},
        {"close", 2, 0, DialogEvent::Close, false, {"end 0"}, true},
        {"close in the tray", 1, 1, DialogEvent::Close, false, {"trayDelete", "end 0"}, true},
        {"close without a log", 0, 0, DialogEvent::Close, false, {"end 0"}, false},
        {"exit request in the window", 1, 0, DialogEvent::Other, true, {"exit 0"}, true},
        {"exit request in the tray", 1, 1, DialogEvent::TimerTick, true, {"trayDelete", "destroy", "exit 0"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DemoRun run("fhlog " + std::to_string(c.fhlog) + "\n");
        run.start();
        const std::string before = run.log();
        state.quiet = c.quiet;
        if (c.exitRequest) state.serverCommand = 1;
        handleDialogEvent(c.event);
        // Events that destroying the window delivers get no handling.
        if (c.exitRequest) handleDialogEvent(DialogEvent::Close);
        EXPECT_EQ(run.ui.calls, c.expected);
        const std::string added = run.log().substr(before.size());
        EXPECT_EQ(added.find("Pelmora stats after shutdown") != std::string::npos, c.summary);
        EXPECT_EQ(added.find("Pelmora stats after shutdown"), added.rfind("Pelmora stats after shutdown"));
    }
}

// The record's text, without the bytes past its terminator.
std::string textOf(const std::string& record) { return record.substr(0, record.find('\0')); }

TEST(Dialog, ExitReportAfterCancelNoneAfterOk)
{
    for (const DialogEvent event : {DialogEvent::Ok, DialogEvent::Cancel}) {
        const bool cancel = event == DialogEvent::Cancel;
        SCOPED_TRACE(cancel ? "Cancel" : "OK");
        const std::string zero(1, '\0');
        MonitorServer server(Script{{"\x01", zero}, {"\x01", zero}});
        DemoRun run("fhlog 1\nstats 1\nipadd 127.0.0.1\n");
        run.start();
        handleDialogEvent(event);
        EXPECT_EQ(run.log().find("Pelmora stats after shutdown") != std::string::npos, cancel);
        // The start-up record, then the exit record (shuttingDown 1) after Cancel only.
        const std::vector<std::string> records = server.recordsWhenStopped();
        ASSERT_EQ(records.size(), cancel ? 2u : 1u);
        EXPECT_NE(textOf(records[0]).find(" p2665_R_Zn_Cyc_R3 0 "), std::string::npos) << textOf(records[0]);
        if (cancel) {
            EXPECT_NE(textOf(records[1]).find(" p2665_R_Zn_Cyc_R3 1 "), std::string::npos) << textOf(records[1]);
        }
    }
}

TEST(Dialog, ExitRequestAnsweredToTheStartUpReport)
{
    MonitorServer server(Script{{"\x01", "\x01"}, {"\x01", std::string(1, '\0')}});
    DemoRun run("cpunum 1\nfhlog 1\nquiet 1\nstats 1\nipadd 127.0.0.1\n");
    // The start-up runs to its end: texts, then the tray.
    handleDialogEvent(DialogEvent::Initialise);
    const Calls tail(run.ui.calls.end() - 7, run.ui.calls.end());
    EXPECT_EQ(tail, (Calls{"bar 42", kDemoUnitText, kDemoCounters, "text 104 42%", "hide", "trayAdd ",
                           std::string("trayModify ") + kDemoTip}));
    EXPECT_EQ(state.serverCommand, 1);
    EXPECT_EQ(run.log().find("after shutdown"), std::string::npos);
    // The next event ends the program: summary, exit report, icon, window.
    run.ui.calls.clear();
    handleDialogEvent(DialogEvent::TimerTick);
    EXPECT_EQ(run.ui.calls, (Calls{"trayDelete", "destroy", "exit 0"}));
    EXPECT_NE(run.log().find("Pelmora stats after shutdown"), std::string::npos);
    EXPECT_EQ(state.shuttingDown, 1);
}

} // namespace

} // namespace pelmora
