// pelmora-bridge: the unit chosen and its unit file, v8 updates, PyON
// replies, the file replaced only on change, the project record. Local time is UTC (TZ=UTC0).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/io/options.h"

using namespace pelmora::bridge;

namespace {
std::string slurp(const char* path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Units of either client, with run 412, clone 7, gen 19 (v8) or run 3, clone 1, gen 0 (v7).
std::string v8(const char* state, const char* group, int project, const char* time, long deadline, const char* more = "")
{
    char text[512];
    std::snprintf(text, sizeof text, R"({"group":"%s","state":"%s","assignment":{"project":%d,"time":"%s","deadline":%ld,)"
                  R"("credit":9210,"core":{"type":"0xa8"}},"wu":{"run":412,"clone":7,"gen":19}%s})", group, state, project, time, deadline, more);
    return text;
}
std::string v7(const char* state, const char* slot, int project, const char* percent, const char* time)
{
    char text[512];
    std::snprintf(text, sizeof text, R"({"state":"%s","slot":"%s","project":%d,"run":3,"clone":1,"gen":0,"percentdone":"%s",)"
                  R"("assigned":"%s","deadline":"%s"})", state, slot, project, percent, time, time);
    return text;
}

// The default group's units of kind (or of one GPU, in any group).
Wanted wanting(UnitKind kind, const char* gpu = "")
{
    return {"", *gpu != '\0', kind, gpu, -1};
}

TEST(Bridge, UnitChosenAndItsFile)
{
    const char* t = "2025-01-05T08:40:03Z";
    // The client, its units, the group (v8) or slot (v7, "" every slot), the name ("": nothing
    // to write) and the lines after the tag.
    const struct { const char* client; std::string units; const char *group, *name, *rest; } cases[] = {
        {"v8", "[" + v8("RUN", "gpu", 17000, t, 86400) + "," + v8("RUN", "", 18213, t, 345600, R"(,"wu_progress":0.453)") + "]", "", "p18213_R412_C7_G19",
         "Download time: January 5 08:40:03\nDue time: January 9 08:40:03\nProgress: 45% [||||______]\n"},
        {"v8", "[" + v8("RUN", "gpu", 17000, t, 86400, R"(,"wu_progress":1)") + "]", "gpu", "p17000_R412_C7_G19",
         "Download time: January 5 08:40:03\nDue time: January 6 08:40:03\nProgress: 100% [||||||||||]\n"},
        // None runs: the next to run; one not yet assigned writes nothing.
        {"v8", "[" + v8("UPLOAD", "", 1, t, 60) + "," + v8("DOWNLOAD", "", 18401, "2025-12-30T22:15:00Z", 259200, R"(,"wu_progress":0.29)") + "]", "",
         "p18401_R412_C7_G19", "Download time: December 30 22:15:00\nDue time: January 2 22:15:00\nProgress: 29% [||________]\n"},
        {"v8", R"([{"group":"","state":"ASSIGN","number":43}])", "", "", ""},
        {"v8", "[" + v8("RUN", "", 18213, t, 1) + "]", "gpu", "", ""},
        // Before 8.4 "progress" held the unit's; a leap day; a time that is none.
        {"v8", "[" + v8("RUN", "", 5, "2024-02-28T12:00:00Z", 86400, R"(,"progress":0.999)") + "]", "", "p5_R412_C7_G19",
         "Download time: February 28 12:00:00\nDue time: February 29 12:00:00\nProgress: 99% [|||||||||_]\n"},
        {"v8", "[" + v8("RUN", "", 5, "soon", 86400) + "]", "", "p5_R412_C7_G19", "Progress: 0% [__________]\n"},
        {"v7", "[" + v7("READY", "00", 13001, "0.00%", t) + "," + v7("RUNNING", "01", 13000, "45.30%", "2025-11-30T23:59:59Z") + "]", "",
         "p13000_R3_C1_G0", "Download time: November 30 23:59:59\nDue time: November 30 23:59:59\nProgress: 45% [||||______]\n"},
        {"v7", "[" + v7("RUNNING", "01", 13000, "45.30%", t) + "," + v7("READY", "00", 13001, "9.99%", t) + "]", "0", "p13001_R3_C1_G0",
         "Download time: January 5 08:40:03\nDue time: January 5 08:40:03\nProgress: 9% [__________]\n"},
        {"v7", "[" + v7("READY", "00", 0, "0.00%", "<invalid>") + "]", "", "", ""},
        {"v7", "[" + v7("RUNNING", "00", 7, "100.00%", "<invalid>") + "]", "", "p7_R3_C1_G0", "Progress: 100% [||||||||||]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.units);
        UnitFacts facts;
        const Json units = Json::parse(c.units);
        std::string followed;
        const bool found = c.client[1] == '8' ? chooseV8Unit(Json{{"units", units}}, Wanted{c.group, false, UnitKind::Any, "", -1}, followed, facts)
                                              : chooseV7Unit(units, *c.group ? std::atoi(c.group) : -1, followed, facts);
        ASSERT_EQ(found, *c.name != '\0');
        if (!found) continue;
        std::string tag = std::string("P") + (c.name + 1);
        for (const char* cut : {"_R", "_C", "_G"}) tag.erase(tag.find(cut), 1);
        EXPECT_EQ(unitFileText(facts), "Current Work Unit\n-----------------\nName: " + std::string(c.name) + "\nTag: " + tag + "\n" + c.rest);
    }
}

TEST(Bridge, LogStampInLocalTime)
{
    EXPECT_EQ(localTimeText(1709121600, LocalTimeForm::log), "2024-02-28 12:00:00");
}

// A unit list from "A:RUN B:CORE:gpu:01" (id and state, then its group and
// GPU when it has them); unit A is project 1, B 2 and so on.
Json unitList(const std::string& words, bool v7)
{
    Json units = Json::array();
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        std::vector<std::string> part;
        std::istringstream fields(word);
        for (std::string field; std::getline(fields, field, ':');) part.push_back(field);
        part.resize(4);
        const int project = part[0][0] - 'A' + 1;
        if (v7) {
            units.push_back({{"unit", part[0]}, {"state", part[1]}, {"slot", part[2]}, {"project", project}, {"run", 0}, {"clone", 0}, {"gen", 0}});
            continue;
        }
        units.push_back({{"id", part[0]}, {"state", part[1]}, {"group", part[2]}, {"gpus", Json::array()},
                         {"assignment", {{"project", project}}}, {"wu", {{"run", 0}, {"clone", 0}, {"gen", 0}}}});
        if (!part[3].empty()) units.back()["gpus"].push_back("gpu:" + part[3] + ":00:00");
    }
    return units;
}

TEST(Bridge, KeepsToTheUnitItFollows)
{
    // What is wanted and the client's lists in turn, each with the unit
    // followed after it ('-': none).
    const struct { const char* what; Wanted wanted; std::vector<std::pair<const char*, char>> steps; bool v7 = false; } cases[] = {
        {"list reordered", {}, {{"A:RUN B:RUN", 'A'}, {"B:RUN A:RUN", 'A'}}},
        {"its group deleted, another moving ahead", wanting(UnitKind::Gpu),
         {{"C:RUN A:CORE:gpu:01 B:CORE::01", 'B'}, {"C:RUN A:CORE::01 B:CORE::01", 'B'}, {"C:RUN A:RUN::01 B:RUN::01", 'B'}}},
        {"moved to another group", {}, {{"B:RUN", 'B'}, {"A:RUN B:RUN:other", 'B'}}},
        {"RUN, CORE, RUN again", {}, {{"A:RUN B:CORE", 'A'}, {"A:CORE B:RUN", 'A'}, {"A:RUN B:RUN", 'A'}}},
        {"two GPUs in one group", wanting(UnitKind::Gpu), {{"A:DOWNLOAD::02 B:RUN::01", 'B'}, {"A:RUN::02 B:RUN::01", 'B'}}},
        {"a CPU and a GPU under all", {}, {{"A:CORE::01 B:RUN", 'B'}, {"A:RUN::01 B:RUN", 'B'}}},
        {"CPU units only", wanting(UnitKind::Cpu), {{"A:RUN::01 B:DOWNLOAD C:RUN", 'C'}, {"A:RUN::01", '-'}}},
        {"its end: on to the next", {}, {{"A:RUN B:RUN", 'A'}, {"A:UPLOAD B:RUN", 'B'}, {"A:DONE B:RUN C:RUN", 'B'},
                                         {"C:RUN B:DUMP", 'C'}, {"", '-'}, {"B:RUN", 'B'}}},
        {"one GPU of two, in any group", wanting(UnitKind::Any, "gpu:02:00:00"),
         {{"A:RUN::01 B:CORE:g2:02", 'B'}, {"C:RUN:x:02 A:RUN::01", 'C'}}},
        {"v7: queue reordered", {}, {{"A:RUNNING:00 B:RUNNING:01", 'A'}, {"B:RUNNING:01 A:RUNNING:00", 'A'}}, true},
        {"v7: READY, then RUNNING ahead", {}, {{"A:READY:00", 'A'}, {"B:RUNNING:01 A:READY:00", 'A'}, {"B:RUNNING:01 A:SEND:00", 'B'}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string followed;
        for (const auto& step : c.steps) {
            SCOPED_TRACE(step.first);
            UnitFacts facts;
            const Json units = unitList(step.first, c.v7);
            const bool found = c.v7 ? chooseV7Unit(units, c.wanted.slot, followed, facts)
                                    : chooseV8Unit(Json{{"units", units}}, c.wanted, followed, facts);
            EXPECT_EQ(found ? static_cast<char>('A' + facts.project - 1) : '-', step.second);
        }
    }
}

TEST(Bridge, WhatTheClientHas)
{
    // Group gpu, GPU gpu:01:00:00 named only by its unit (info.gpus is empty in the recordings).
    const Json state = Json::parse(R"({"info":{"gpus":{}},"groups":{"":{},"gpu":{"config":{"gpus":{"gpu:02:00:00":{}}}}},
        "units":[)" + v8("CORE", "gpu", 17000, "2025-01-05T08:40:03Z", 86400, R"(,"gpus":["gpu:01:00:00"],"id":"x","wu_progress":0.2)") +
                                   R"(,{"group":"","state":"ASSIGN","gpus":[]}]})");
    // The group asked for (nullptr: --gpu alone) and GPU, and what is said ("": nothing).
    const struct { const char *group, *gpu, *said; } cases[] = {
        {"", "", ""}, {"gpu", "", ""}, {nullptr, "gpu:01:00:00", ""}, {"", "gpu:02:00:00", ""},
        {"cpu", "", "the client has no group cpu (its groups: (default), gpu)"},
        {nullptr, "gpu:03:00:00", "the client has no GPU gpu:03:00:00 (its GPUs: gpu:01:00:00, gpu:02:00:00)"},
    };
    for (const auto& c : cases) {
        const Wanted wanted{c.group ? c.group : "", !c.group, UnitKind::Any, c.gpu, -1};
        EXPECT_EQ(missingFromClient(state, wanted), c.said) << c.gpu;
    }
    const std::string table = v8Table(state);
    EXPECT_NE(table.find("gpu          gpu  gpu:01:00:00     CORE      20%      p17000_R412_C7_G19       2025-01-06 08:40:03\n"),
              std::string::npos) << table;
    EXPECT_NE(table.find("(default)    cpu  -                ASSIGN    -        (not assigned)           -\n"), std::string::npos)
        << table;
}

TEST(Bridge, CommandLine)
{
    // The arguments, the outcome (-1: go on; else the exit status) and, going
    // on, the port and kind of units.
    const struct { std::vector<const char*> args; int outcome, port = 0; UnitKind units = UnitKind::Any; } cases[] = {
        {{}, -1, 7396, UnitKind::Any},
        {{"--client", "v7"}, -1, 36330, UnitKind::Any},
        {{"--units", "gpu", "--port", "8000"}, -1, 8000, UnitKind::Gpu},
        {{"--units", "cpu", "--group", "x"}, -1, 7396, UnitKind::Cpu},
        {{"--gpu", "gpu:01:00:00", "--units", "cpu"}, 1}, {{"--gpu", "gpu:01:00:00", "--client", "v7"}, 1},
        {{"--units", "both"}, 1}, {{"--units", "cpu", "--client", "v7"}, 1}, {{"--slot", "1"}, 1},
        {{"--client", "v7", "--group", ""}, 1}, {{"--port", "0"}, 1}, {{"--port", "65536"}, 1},
        {{"--client", "v6"}, 1}, {{"--client", "v7", "--password-file", "no-such-file"}, 1}, {{"extra"}, 1},
        {{"--version"}, 0}, {{"--help"}, 0},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"pelmora-bridge"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "(none)");
        Options options;
        std::string password;
        ASSERT_EQ(readCommandLine(static_cast<int>(argv.size()), argv.data(), options, password), c.outcome);
        if (c.outcome >= 0) continue;
        EXPECT_EQ(options.port, c.port);
        EXPECT_EQ(options.units, c.units);
    }
}

TEST(Bridge, UpdatesApplied)
{
    const Json start = Json::parse(R"({"groups":{"":{"paused":false}},"units":[{"n":0,"start":"x"},{"n":1},{"n":2}]})");
    // An update and the units after it ("": refused, the state unchanged).
    const struct { const char *update, *units; } cases[] = {
        {R"(["units",1,null])", R"([{"n":0,"start":"x"},{"n":2}])"},
        {R"(["units",3,{"n":3}])", R"([{"n":0,"start":"x"},{"n":1},{"n":2},{"n":3}])"},
        {R"(["units",0,"start",null])", R"([{"n":0},{"n":1},{"n":2}])"},
        {R"(["units",2,"n",7])", R"([{"n":0,"start":"x"},{"n":1},{"n":7}])"},
        {R"(["units",2,{"m":1}])", R"([{"n":0,"start":"x"},{"n":1},{"m":1}])"},
        {R"(["units",4,{"n":4}])", ""}, {R"(["units",3,null])", ""}, {R"(["units",3,"n",1])", ""},
        {R"(["units",-1,"n",1])", ""}, {R"(["units","0","n",1])", ""}, {R"(["units",0,"n","k",1])", ""},
        {R"(["nothing","n",1])", ""}, {R"(["units"])", ""}, {R"({"units":[]})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.update);
        Json state = start;
        EXPECT_EQ(applyUpdate(state, Json::parse(c.update)), *c.units != '\0');
        EXPECT_EQ(state["units"], *c.units ? Json::parse(c.units) : start["units"]);
    }
    Json state = start;
    EXPECT_TRUE(applyUpdate(state, Json::parse(R"(["groups","","paused",true])")) && state["groups"][""]["paused"] == true);
}

TEST(Bridge, PyonReplies)
{
    // The text, the reply's name ("": incomplete) and body ("null": not valid, or nested too
    // deep), the text left.
    const struct { std::string stream; const char *name, *body, *left; } cases[] = {
        {"\x1b[H> \nPyON 1 units\n[{\"a\": True, \"b\": None, \"c\": \"x\\x41 True\", \"d\": False}]\n---\n> ", "units",
         R"([{"a":true,"b":null,"c":"xA True","d":false}])", "> "},
        {"> PyON 1 heartbeat\n7\n---\n\nPyON 1 units\n[]\n---\n", "heartbeat", "7", "\nPyON 1 units\n[]\n---\n"},
        {"xPyON 1 units\n[]\n---\n", "", "", "xPyON 1 units\n[]\n---\n"},
        {"\nPyON 1 units\n[{\"a\": 1,\n", "", "", "\nPyON 1 units\n[{\"a\": 1,\n"},
        {"\nPyON 1 units\n[{oops]\n---\n", "units", "null", ""},
        {"\nPyON 1 units\n" + std::string(65, '[') + std::string(65, ']') + "\n---\n", "units", "null", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        std::string buffer = c.stream, name;
        Json body;
        ASSERT_EQ(takePyonReply(buffer, name, body), *c.name != '\0');
        EXPECT_EQ(buffer, c.left);
        EXPECT_TRUE(!*c.name || (name == c.name && body == Json::parse(c.body)));
    }
}

TEST(Bridge, UnitFileReplacedOnlyOnChange)
{
    std::remove("unitinfo.txt");
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "one\n"), 1);
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "one\n"), 0);
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "two\n"), 1);
    EXPECT_EQ(replaceFileIfChanged("no-such-dir/unitinfo.txt", "one\n"), -1);
    EXPECT_FALSE(Follower().follow(false, UnitFacts())); // no unit: the file stays
    EXPECT_EQ(slurp("unitinfo.txt"), "two\n");
    EXPECT_FALSE(std::ifstream("unitinfo.txt.bridge-new"));
}

TEST(Bridge, ProjectRecordAppended)
{
    UnitFacts known, fresh, noCore;
    known.project = 18213, known.points = 9210, known.core = "0xa8", known.server = "ws 1";
    fresh = known, fresh.project = 18401, fresh.points = 12000.5, fresh.frames = 200;
    noCore = known, noCore.project = 99, noCore.core = "";
    const struct { const char* before; UnitFacts facts; const char* after; } cases[] = { // before: nullptr, no file
        {nullptr, known, "18213 ws_1 0 0.00 0.00 9210.00 100 0xa8\n"},
        {"1 s 0 0 0 5 100 A\n18213 s 0 0 0 1 1 B", known, "1 s 0 0 0 5 100 A\n18213 s 0 0 0 1 1 B"},
        {"1 s 0 0 0 5 100 A", fresh, "1 s 0 0 0 5 100 A\n18401 ws_1 0 0.00 0.00 12000.50 200 0xa8\n"},
        {"1 s 0 0 0 5 100 A\n", noCore, "1 s 0 0 0 5 100 A\n"},
    };
    for (const auto& c : cases) {
        std::remove("database.txt");
        if (c.before) std::ofstream("database.txt") << c.before;
        EXPECT_GE(addProject("database.txt", c.facts), 0);
        EXPECT_EQ(slurp("database.txt"), c.after);
    }
}
} // namespace
