// ../unitinfo.txt: the four kinds of line, the fixed-width fields, the
// missing file, and what a new unit name sets off.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "state/monitor_state.h"
#include "platform/platform.h"
#include "support/test_platform.h"
#include "support/client_dir.h"
#include "support/stats_site_peer.h"
#include "support/recording_window_system.h"
#include "workunit/project_database.h"
#include "workunit/unit_file.h"
#include "app/dialog.h"

namespace pelmora {

namespace {

using Calls = std::vector<std::string>;
const time_t kStart = 1700000000;

// The work-unit fields; empty names, zero numbers and empty dates left out.
std::string unitFields()
{
    std::string out = std::string("name=") + state.unitName;
    if (state.progress) out += " progress=" + std::to_string(state.progress);
    if (*state.startMonth || *state.startDay || *state.startTime)
        out += std::string(" start=") + state.startMonth + "," + state.startDay + "," + state.startTime;
    out += std::string(" due=") + state.dueMonth + "," + state.dueDay + "," + state.dueTime;
    return out + " count=" + std::to_string(state.unitCount);
}

std::string logDate(time_t at) { return std::ctime(&at); }

struct UnitCase {
    const char* name;
    std::string file;
    std::string expected;
};

const UnitCase kCases[] = {
    {"worked examples",
     "Name: p1234_sample\nDownload time: June 5 10:20:30\nDue time: June 19 10:20:30\nProgress: 45%  [abc]\n",
     "name=p1234_sample progress=45 start=June,5,10:20:30 due=June,19,10:20:30 count=1"},
    {"name after an unrecognised piece", "abcdefName: p99\n", "name=p99 due=Timeless,, count=1"},
    {"name at the 8th character is not seen", "abcdefgName: p99\n", "name= due=Timeless,, count=0"},
    {"name on the next line", "Name:\np1234_next rest\nProgress: 7%\n",
     "name=p1234_next progress=7 due=Timeless,, count=1"},
    {"any Due line", "Due-date 1 2 3\n", "name= due=1,2,3 count=0"},
    {"five letters make a download line", "Downl  a b Jan 2 03:04\n",
     "name= start=Jan,2,03:04 due=Timeless,, count=0"},
    {"progress not a number", "Progress: 45%\nProgress: lots\n", "name= progress=45 due=Timeless,, count=0"},
    {"empty lines and a six-character line", "\n\nName: p5\n\nabcdef\nProgress: 9%\n",
     "name=p5 progress=9 due=Timeless,, count=1"},
    {"no final newline", "Progress: 3%\nName: p7", "name=p7 progress=3 due=Timeless,, count=1"},
    {"skip takes 499 characters", "Name: p1 " + std::string(498, '.') + "Progress: 8%\n",
     "name=p1 progress=8 due=Timeless,, count=1"},
    {"keys are case-sensitive", "name: p1\nprogress: 5%\ndue time: a b c\n", "name= due=Timeless,, count=0"},
    {"long words cut in place",
     "Name: " + std::string(80, 'N') + "\nDownload time: " + std::string(16, 'M') + " 5 10:20\nDue time: Mar " +
         std::string(25, 'd') + " " + std::string(30, 't') + "\n",
     "name=" + std::string(74, 'N') + " start=" + std::string(14, 'M') + ",5,10:20 due=Mar," +
         std::string(19, 'd') + "," + std::string(22, 't') + " count=1"},
    {"long discarded word consumed whole", "Downl " + std::string(600, 'x') + " b Jan 2 03:04\n",
     "name= start=Jan,2,03:04 due=Timeless,, count=0"},
};

TEST(UnitFile, ReadsLinesAsDescribed)
{
    for (const UnitCase& c : kCases) {
        for (bool crlf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (crlf ? " (CR LF)" : ""));
            ClientDir dir;
            std::string file = c.file;
            for (size_t at = file.find('\n'); crlf && at != std::string::npos; at = file.find('\n', at + 2))
                file.insert(at, "\r");
            dir.write("../unitinfo.txt", file);
            EXPECT_EQ(readUnitFile(unitChanged), 1);
            EXPECT_EQ(unitFields(), c.expected);
            EXPECT_STREQ(state.previousUnitName, ""); // the field after unitName
        }
    }
}

TEST(UnitFile, MissingFileKeepsTheLastValues)
{
    ClientDir dir;
    std::strcpy(state.unitName, "p1_keep");
    state.progress = 5;
    EXPECT_EQ(readUnitFile(unitChanged), 0);
    EXPECT_EQ(unitFields(), "name=p1_keep progress=5 due=,, count=0");
}

// Start-up read of the demo unit (project 2665, 200 frames), then a poll 100
// minutes later that finds project 794 (50 frames) in its place.
TEST(UnitFile, UnitChangeFollowUpsDependOnSettings)
{
    StatsSite site("200 OK", {"ok"});
    const std::string host = site.host();
    const struct { int fhlog; int quiet; int korv; int stats; bool logIsFolder; } cases[] = {
        {1, 1, 1, 1, false}, {1, 0, 2, 0, false}, {0, 1, 1, 0, false}, {2, 1, 1, 0, false}, {1, 1, 1, 0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("fhlog " + std::to_string(c.fhlog) + " quiet " + std::to_string(c.quiet) + " korv " +
                     std::to_string(c.korv) + " stats " + std::to_string(c.stats) +
                     (c.logIsFolder ? " log unopenable" : ""));
        ClientDir dir;
        dir.copyDemo();
        if (c.logIsFolder) std::filesystem::create_directory("pelmora_log.txt");
        RecordingWindowSystem ui;
        state.fhlog = c.fhlog;
        state.quiet = c.quiet;
        state.korv = c.korv;
        state.stats = c.stats;
        std::strcpy(state.khost, host.c_str());
        const size_t earlier = site.requests().size();
        pinClock(kStart);
        state.unitStart = state.programStart = kStart;

        // The start-up read only times and counts the unit.
        ASSERT_EQ(readUnitFile(unitChanged), 1);
        EXPECT_EQ(unitFields(), "name=p2665_R_Zn_Cyc_R3 progress=42 start=March,3,08:14:52 "
                                "due=March,17,08:14:52 count=1");
        EXPECT_EQ(state.unitMinutes, 0.0);
        EXPECT_EQ(state.now, kStart);
        EXPECT_STREQ(state.core, "");
        EXPECT_EQ(dir.exists("pelmora_log.txt"), c.logIsFolder);
        EXPECT_TRUE(ui.calls.empty());

        lookUpProject();
        ASSERT_EQ(state.frames, 200);
        state.firstPoll = 0;
        state.frameMinutes = 0.25f;
        const time_t later = kStart + 6000;
        pinClock(later);
        dir.write("../unitinfo.txt",
                  "Name: p794_next\nDownload time: March 18 09:00:00\nDue time: April 1 09:00:00\nProgress: 3%\n");
        ASSERT_EQ(readUnitFile(unitChanged), 1);

        EXPECT_EQ(unitFields(), "name=p794_next progress=3 start=March,18,09:00:00 due=April,1,09:00:00 count=2");
        EXPECT_STREQ(state.previousUnitName, "p2665_R_Zn_Cyc_R3");
        EXPECT_DOUBLE_EQ(state.unitMinutes, 100.0);
        EXPECT_EQ(state.now, later);
        EXPECT_EQ(state.unitStart, later);
        const bool logged = c.fhlog == 1;
        EXPECT_FLOAT_EQ(state.frameMinutes, logged ? 0.5f : 0.25f);
        EXPECT_EQ(std::to_string(state.projectNumber) + " " + std::to_string(state.points) + " " +
                      std::to_string(state.frames) + " " + state.core,
                  logged ? "794 1448 50 GroCVS" : "2665 357 200 Tinker");
        // The frames line gives the finished unit's frames, not the new one's.
        EXPECT_EQ(dir.readText("pelmora_log.txt"),
                  !logged || c.logIsFolder
                      ? ""
                      : "p2665_R_Zn_Cyc_R3 completed in 100.000000 minutes on " + logDate(later) +
                            (c.stats ? "200 frames total\n" : "") +
                            "Average frame time: 0.500000 minutes per frame\n" +
                            (c.korv == 1 ? "Submitting data to " + host + "...\n" : "") +
                            "Beginning process for p794_next on " + logDate(later));
        // Submitted with the new unit's core, before the new unit is counted.
        std::vector<std::string> requests = site.requests();
        requests.erase(requests.begin(), requests.begin() + static_cast<long>(earlier));
        ASSERT_EQ(requests.size(), logged && c.korv == 1 ? 1u : 0u);
        if (!requests.empty()) {
            const std::string line = requests[0].substr(0, requests[0].find("\r\n"));
            EXPECT_NE(line.find("&wucount=1&"), std::string::npos) << line;
            EXPECT_NE(line.find("&protein=p2665_R_Zn_Cyc_R3&core=GroCVS&"), std::string::npos) << line;
        }
        // The tooltip is refreshed before the count goes up and before the
        // progress line is read.
        Calls expected;
        if (logged && c.quiet)
            expected.push_back("trayModify CPU#: 0    WU#: 1\nName: p794_next\nCore: GroCVS     Points: 1448\n"
                               "42% Completed");
        EXPECT_EQ(ui.calls, expected);
    }
}

// Names that agree in their first 35 characters are one unit. None of these
// projects is in a database, so the frame time of an earlier unit stays.
TEST(UnitFile, SameUnitOverFirst35Characters)
{
    const std::string common = "p2665_R3_C48_G217_zinc_finger_cycl"; // 34 characters
    ClientDir dir;
    state.fhlog = 1;
    pinClock(kStart);
    dir.write("../unitinfo.txt", "Name: " + common + "o_alpha\n");
    readUnitFile(unitChanged);
    state.firstPoll = 0;
    state.frameMinutes = 2.5f;

    dir.write("../unitinfo.txt", "Name: " + common + "o_beta\n");
    readUnitFile(unitChanged);
    EXPECT_EQ(state.unitCount, 1);
    EXPECT_EQ(std::string(state.unitName), common + "o_beta");
    EXPECT_FALSE(dir.exists("pelmora_log.txt"));

    dir.write("../unitinfo.txt", "Name: " + common + "X_beta\n");
    readUnitFile(unitChanged);
    EXPECT_EQ(state.unitCount, 2);
    EXPECT_EQ(std::string(state.previousUnitName), common + "o");
    EXPECT_FLOAT_EQ(state.frameMinutes, 2.5f);
    // The finished unit is logged under its first 35 characters.
    EXPECT_EQ(dir.readText("pelmora_log.txt"),
              common + "o completed in 0.000000 minutes on " + logDate(kStart) +
                  "Average frame time: 2.500000 minutes per frame\nBeginning process for " + common + "X_beta on " +
                  logDate(kStart));
}

// The client rewrites its file at any moment: between two polls it may be
// gone, cut short or replaced. Each poll reads what is there; a missing file
// keeps the last values, and only a different name is a new unit.
TEST(UnitFile, FileChangingBetweenPolls)
{
    const std::string demo = "Name: p2665_R_Zn_Cyc_R3\nDue time: March 17 08:14:52\nProgress: 42%\n";
    const struct {
        const char* name;
        const char* change; // nullptr: the file is removed
        std::string expected;
        int logGroups;
    } cases[] = {
        {"removed", nullptr, "name=p2665_R_Zn_Cyc_R3 progress=42 due=March,17,08:14:52 count=1", 0},
        {"emptied", "", "name=p2665_R_Zn_Cyc_R3 progress=42 due=March,17,08:14:52 count=1", 0},
        {"cut inside the progress line", "Name: p2665_R_Zn_Cyc_R3\nDue time: March 17 08:14:52\nProg",
         "name=p2665_R_Zn_Cyc_R3 progress=42 due=March,17,08:14:52 count=1", 0},
        {"cut inside the name", "Name: p2665_R_Z",
         "name=p2665_R_Z progress=42 due=March,17,08:14:52 count=2", 1},
        {"rewritten with more progress", "Name: p2665_R_Zn_Cyc_R3\nProgress: 43%\n",
         "name=p2665_R_Zn_Cyc_R3 progress=43 due=March,17,08:14:52 count=1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientDir dir;
        RecordingWindowSystem ui;
        state.fhlog = 1;
        pinClock(kStart);
        dir.write("pelmora_log.txt", "earlier run\n");
        dir.write("../unitinfo.txt", demo);
        ASSERT_EQ(readUnitFile(unitChanged), 1);
        state.firstPoll = 0;

        if (c.change) dir.write("../unitinfo.txt", c.change);
        else dir.remove("../unitinfo.txt");
        EXPECT_EQ(readUnitFile(unitChanged), c.change ? 1 : 0);
        EXPECT_EQ(unitFields(), c.expected);
        EXPECT_TRUE(ui.calls.empty());

        // The whole file back: the cut name counts as one more change.
        dir.write("../unitinfo.txt", demo);
        EXPECT_EQ(readUnitFile(unitChanged), 1);
        const std::string log = dir.readText("pelmora_log.txt");
        EXPECT_EQ(log.rfind("earlier run\n", 0), 0u);
        size_t groups = 0;
        for (size_t at = log.find("completed in"); at != std::string::npos; at = log.find("completed in", at + 1))
            ++groups;
        EXPECT_EQ(groups, static_cast<size_t>(2 * c.logGroups));
    }
}

} // namespace

} // namespace pelmora
