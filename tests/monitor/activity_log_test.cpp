// pelmora_log.txt: the start banner, a finished unit's group and the
// shutdown summary, each appended whole.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "app/dialog.h"
#include "state/monitor_state.h"
#include "state/version.h"
#include "net/stats_site.h"
#include "platform/platform.h"
#include "support/test_platform.h"
#include "support/client_dir.h"
#include "support/recording_window_system.h"
#include "workunit/activity_log.h"

namespace pelmora {

namespace {

const time_t kStart = 1700000000;
const std::string kDashes(48, '-');

std::string logDate(time_t at) { return std::ctime(&at); }

std::string banner(const std::string& processLine)
{
    return std::string("Pelmora v2.0      ") + PELMORA_CREDITS + "\n" + kDashes + "\n\n" + processLine;
}

// p1234_sample has just finished after 812.35 minutes; p5678_other begins.
void finishUnit()
{
    std::strcpy(state.previousUnitName, "p1234_sample");
    std::strcpy(state.unitName, "p5678_other");
    state.unitMinutes = 812.35;
    state.frames = 100;
    state.frameMinutes = 8.1235f;
}

// The banner goes after what earlier runs left.
TEST(ActivityLog, BannerBeginsOrContinuesTheUnit)
{
    for (int progress : {0, 45}) {
        ClientDir dir;
        dir.write("pelmora_log.txt", "earlier run\n");
        pinClock(kStart);
        std::strcpy(state.unitName, "p1234_sample");
        state.progress = progress;
        writeStartBanner();
        EXPECT_EQ(dir.readText("pelmora_log.txt"),
                  "earlier run\n" + banner((progress ? "Continuing process at 45% for" : "Beginning process for") +
                                           std::string(" p1234_sample on ") + logDate(kStart)));
    }
}

TEST(ActivityLog, UnitGroupLines)
{
    const struct { const char* name; int stats; int korv; const char* khost; } cases[] = {
        {"plain", 0, 0, ""},
        {"with frames", 2, 0, ""},
        {"korv must be exactly 1", 0, 2, "stats.example.org"},
        {"submitting to the default host", 0, 1, ""},
        {"submitting to khost", 1, 1, "127.0.0.1:8088"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientDir dir;
        const time_t at = kStart + 48741;
        pinClock(at);
        finishUnit();
        std::strcpy(state.khost, c.khost);
        state.stats = c.stats;
        state.korv = c.korv;
        writeUnitLog(statsHostLabel());
        const std::string host = *c.khost ? c.khost : kDefaultStatsHost;
        EXPECT_EQ(dir.readText("pelmora_log.txt"),
                  "p1234_sample completed in 812.350000 minutes on " + logDate(at) +
                      (c.stats ? "100 frames total\n" : "") + "Average frame time: 8.123500 minutes per frame\n" +
                      (c.korv == 1 ? "Submitting data to " + host + "...\n" : "") +
                      "Beginning process for p5678_other on " + logDate(at));
        EXPECT_EQ(statsHostLabel(), host);
    }
}

std::string summary(const std::string& figures)
{
    return kDashes + "\nPelmora stats after shutdown\n\n" + figures + kDashes + "\n\n\n\n\n";
}

TEST(ActivityLog, ShutdownSummaryFigures)
{
    const struct { const char* name; int uptime; int unitCount; std::string figures; } cases[] = {
        {"125.9 minutes, two units done", 7554, 3,
         "Total uptime: 2.098333 hours\nTotal WUs completed: 2\nAverage time per WU: 41.666667 minutes\n"},
        {"no unit done", 7554, 1, "Total uptime: 2.098333 hours\nTotal WUs completed: 0\n"},
        {"no unit read", 0, 0, "Total uptime: 0.000000 hours\nTotal WUs completed: -1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientDir dir;
        state.fhlog = 2; // the summary itself does not look at fhlog
        state.programStart = kStart;
        state.unitCount = c.unitCount;
        pinClock(kStart + c.uptime);
        writeShutdownSummary();
        EXPECT_EQ(state.now, kStart + c.uptime);
        EXPECT_EQ(dir.readText("pelmora_log.txt"), summary(c.figures));
    }
}

// A run of the demo unit that ends at once: the banner needs fhlog exactly
// 1, the summary any fhlog but 0.
TEST(ActivityLog, FhlogDecidesTheEntriesOfARun)
{
    const struct { int fhlog; bool banner; bool summary; } cases[] = {{1, true, true}, {2, false, true}, {0, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("fhlog " + std::to_string(c.fhlog));
        ClientDir dir;
        dir.copyDemo();
        dir.write("pelmora.ini", "fhlog " + std::to_string(c.fhlog) + "\n");
        RecordingWindowSystem ui;
        pinClock(kStart);
        handleDialogEvent(DialogEvent::Initialise);
        handleDialogEvent(DialogEvent::Cancel);
        EXPECT_EQ(dir.readText("pelmora_log.txt"),
                  (c.banner ? banner("Continuing process at 42% for p2665_R_Zn_Cyc_R3 on " + logDate(kStart)) : "") +
                      (c.summary ? summary("Total uptime: 0.000000 hours\nTotal WUs completed: 0\n") : ""));
    }
}

TEST(ActivityLog, UnopenableLogWritesNothing)
{
    ClientDir dir;
    std::filesystem::create_directory("pelmora_log.txt");
    std::strcpy(state.unitName, "p1234_sample");
    state.unitCount = 3;
    pinClock(kStart);
    writeStartBanner();
    writeUnitLog(statsHostLabel());
    writeShutdownSummary();
    EXPECT_TRUE(std::filesystem::is_directory("pelmora_log.txt"));
    EXPECT_TRUE(std::filesystem::is_empty("pelmora_log.txt"));
    EXPECT_EQ(state.now, 0); // the summary stops before reading the clock
}

} // namespace

} // namespace pelmora
