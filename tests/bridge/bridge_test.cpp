// pelmora-bridge: the unit chosen and its unit file, v8 updates, PyON
// replies, the file replaced only on change, the project record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "bridge/bridge.h"

using namespace bridge;

namespace {
// Local time is UTC here, whatever the machine's zone.
const bool kUtc = [] {
#ifdef _WIN32
    _putenv("TZ=UTC0");
    _tzset();
#else
    setenv("TZ", "UTC0", 1);
    tzset();
#endif
    return true;
}();

std::string slurp(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A v8 unit: state, project/run/clone/gen, assignment time, deadline, extra members.
std::string v8(const char* state, const char* group, int project, const char* time, long deadline,
               const char* extra = "")
{
    char text[512];
    std::snprintf(text, sizeof text,
                  R"({"group":"%s","state":"%s","assignment":{"project":%d,"time":"%s","deadline":%ld,"credit":9210,)"
                  R"("core":{"type":"0xa8"},"ws":"ws1"},"wu":{"run":412,"clone":7,"gen":19}%s})",
                  group, state, project, time, deadline, extra);
    return text;
}
std::string v7(const char* state, const char* slot, int project, const char* percent, const char* assigned)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  R"({"state":"%s","slot":"%s","project":%d,"run":3,"clone":1,"gen":0,"percentdone":"%s",)"
                  R"("assigned":"%s","deadline":"%s","core":"0x22","basecredit":"4410","totalframes":200})",
                  state, slot, project, percent, assigned, assigned);
    return text;
}

struct MappingCase {
    const char* client; // "v8" or "v7"
    std::string units;  // the units list
    const char* group;  // v8 group, or v7 slot ("" every slot)
    const char* name;   // "" : nothing to write
    const char* dates;  // the Download and Due lines
    const char* progress;
};

TEST(Bridge, UnitChosenAndItsFile)
{
    const std::string t = "2025-01-05T08:40:03Z";
    const MappingCase cases[] = {
        {"v8", "[" + v8("RUN", "gpu", 17000, t.c_str(), 86400) + "," + v8("RUN", "", 18213, t.c_str(), 345600, R"(,"wu_progress":0.453)") + "]", "",
         "p18213_R412_C7_G19", "Download time: January 5 08:40:03\nDue time: January 9 08:40:03\n", "45% [||||______]"},
        {"v8", "[" + v8("RUN", "gpu", 17000, t.c_str(), 86400, R"(,"wu_progress":1)") + "]", "gpu",
         "p17000_R412_C7_G19", "Download time: January 5 08:40:03\nDue time: January 6 08:40:03\n", "100% [||||||||||]"},
        // The next to run when none runs; a unit without an assignment writes nothing.
        {"v8", "[" + v8("UPLOAD", "", 1, t.c_str(), 60) + "," + v8("DOWNLOAD", "", 18401, "2025-12-30T22:15:00Z", 259200, R"(,"wu_progress":0.29)") + "]", "",
         "p18401_R412_C7_G19", "Download time: December 30 22:15:00\nDue time: January 2 22:15:00\n", "29% [||________]"},
        {"v8", R"([{"group":"","state":"ASSIGN","number":43}])", "", "", "", ""},
        {"v8", "[" + v8("RUN", "", 18213, t.c_str(), 1) + "]", "gpu", "", "", ""},
        // Before 8.4 the unit's progress was "progress"; a leap day; no readable time.
        {"v8", "[" + v8("RUN", "", 5, "2024-02-28T12:00:00Z", 86400, R"(,"progress":0.999)") + "]", "",
         "p5_R412_C7_G19", "Download time: February 28 12:00:00\nDue time: February 29 12:00:00\n", "99% [|||||||||_]"},
        {"v8", "[" + v8("RUN", "", 5, "soon", 86400) + "]", "", "p5_R412_C7_G19", "", "0% [__________]"},
        {"v7", "[" + v7("READY", "00", 13001, "0.00%", "2025-03-01T00:00:00Z") + "," + v7("RUNNING", "01", 13000, "45.30%", "2025-11-30T23:59:59Z") + "]", "",
         "p13000_R3_C1_G0", "Download time: November 30 23:59:59\nDue time: November 30 23:59:59\n", "45% [||||______]"},
        {"v7", "[" + v7("RUNNING", "01", 13000, "45.30%", t.c_str()) + "," + v7("READY", "00", 13001, "9.99%", t.c_str()) + "]", "0",
         "p13001_R3_C1_G0", "Download time: January 5 08:40:03\nDue time: January 5 08:40:03\n", "9% [__________]"},
        {"v7", "[" + v7("READY", "00", 0, "0.00%", "<invalid>") + "]", "", "", "", ""},
        {"v7", "[" + v7("RUNNING", "00", 7, "100.00%", "<invalid>") + "]", "", "p7_R3_C1_G0", "", "100% [||||||||||]"},
    };
    for (const MappingCase& c : cases) {
        SCOPED_TRACE(c.units);
        UnitFacts facts;
        const Json units = Json::parse(c.units);
        const bool found = std::string(c.client) == "v8"
                               ? chooseV8Unit(Json{{"units", units}}, c.group, facts)
                               : chooseV7Unit(units, *c.group ? std::atoi(c.group) : -1, facts);
        ASSERT_EQ(found, *c.name != '\0');
        if (!found) continue;
        std::string tag = std::string("P") + (c.name + 1);
        for (const char* cut : {"_R", "_C", "_G"}) tag.erase(tag.find(cut), 1);
        EXPECT_EQ(unitFileText(facts), std::string("Current Work Unit\n-----------------\nName: ") + c.name + "\nTag: " +
                                           tag + "\n" + c.dates + "Progress: " + c.progress + "\n");
    }
}

TEST(Bridge, UpdatesApplied)
{
    const Json start = Json::parse(R"({"groups":{"":{"config":{"paused":false}}},
        "units":[{"n":0,"start_time":"x"},{"n":1},{"n":2}]})");
    const struct {
        const char* update;
        const char* units; // after it; "" : refused, the state unchanged
    } cases[] = {
        {R"(["units",1,null])", R"([{"n":0,"start_time":"x"},{"n":2}])"},
        {R"(["units",3,{"n":3}])", R"([{"n":0,"start_time":"x"},{"n":1},{"n":2},{"n":3}])"},
        {R"(["units",0,"start_time",null])", R"([{"n":0},{"n":1},{"n":2}])"},
        {R"(["units",2,"n",7])", R"([{"n":0,"start_time":"x"},{"n":1},{"n":7}])"},
        {R"(["units",2,{"m":1}])", R"([{"n":0,"start_time":"x"},{"n":1},{"m":1}])"},
        {R"(["units",4,{"n":4}])", ""},
        {R"(["units",3,null])", ""},
        {R"(["units",3,"n",1])", ""},
        {R"(["units",-1,"n",1])", ""},
        {R"(["units","0","n",1])", ""},
        {R"(["units",0,"n","k",1])", ""},
        {R"(["nothing","n",1])", ""},
        {R"(["units"])", ""},
        {R"({"units":[]})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.update);
        Json state = start;
        EXPECT_EQ(applyUpdate(state, Json::parse(c.update)), *c.units != '\0');
        EXPECT_EQ(state["units"], *c.units ? Json::parse(c.units) : start["units"]);
    }
    Json state = start;
    ASSERT_TRUE(applyUpdate(state, Json::parse(R"(["groups","","config","paused",true])")));
    EXPECT_EQ(state["groups"][""]["config"]["paused"], true);
}

TEST(Bridge, PyonReplies)
{
    const struct {
        const char* stream;
        const char* name; // "" : incomplete
        const char* body; // "null": not valid
        const char* left;
    } cases[] = {
        {"\x1b[H> \nPyON 1 units\n[{\"a\": True, \"b\": None, \"c\": \"x\\x41 True\", \"d\": False}]\n---\n> ",
         "units", R"([{"a":true,"b":null,"c":"xA True","d":false}])", "> "},
        {"> PyON 1 heartbeat\n7\n---\n\nPyON 1 units\n[]\n---\n", "heartbeat", "7", "\nPyON 1 units\n[]\n---\n"},
        {"xPyON 1 units\n[]\n---\n", "", "", "xPyON 1 units\n[]\n---\n"},
        {"\nPyON 1 units\n[{\"a\": 1,\n", "", "", "\nPyON 1 units\n[{\"a\": 1,\n"},
        {"\nPyON 1 units\n[{oops]\n---\n", "units", "null", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        std::string buffer = c.stream, name;
        Json body;
        ASSERT_EQ(takePyonReply(buffer, name, body), *c.name != '\0');
        if (*c.name) {
            EXPECT_EQ(name, c.name);
            EXPECT_EQ(body, Json::parse(c.body));
        }
        EXPECT_EQ(buffer, c.left);
    }
    std::string deep = "\nPyON 1 units\n" + std::string(65, '[') + std::string(65, ']') + "\n---\n", name;
    Json body;
    EXPECT_TRUE(takePyonReply(deep, name, body) && body.is_null()); // too deep to be a queue
}

TEST(Bridge, UnitFileReplacedOnlyOnChange)
{
    std::remove("unitinfo.txt");
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "one\n"), 1);
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "one\n"), 0);
    EXPECT_EQ(replaceFileIfChanged("unitinfo.txt", "two\n"), 1);
    EXPECT_EQ(slurp("unitinfo.txt"), "two\n");
    EXPECT_FALSE(std::ifstream("unitinfo.txt.bridge-new"));
    EXPECT_EQ(replaceFileIfChanged("no-such-dir/unitinfo.txt", "one\n"), -1);
    // A unit that is not there (or not assigned) leaves the file as it is.
    Follower follower;
    EXPECT_FALSE(follower.follow(false, UnitFacts()));
    EXPECT_EQ(slurp("unitinfo.txt"), "two\n");
}

TEST(Bridge, ProjectRecordAppended)
{
    UnitFacts known, fresh, noCore;
    known.project = 18213, known.points = 9210, known.core = "0xa8", known.server = "ws 1";
    fresh = known, fresh.project = 18401, fresh.points = 12000.5, fresh.frames = 200;
    noCore = known, noCore.project = 99, noCore.core = "";
    const struct {
        const char* before;
        UnitFacts facts;
        const char* after;
    } cases[] = {
        {nullptr, known, "18213 ws_1 0 0.00 0.00 9210.00 100 0xa8\n"},
        {"1 s 0 0 0 5 100 A\n18213 s 0 0 0 1 1 B", known, "1 s 0 0 0 5 100 A\n18213 s 0 0 0 1 1 B"},
        {"1 s 0 0 0 5 100 A", fresh, "1 s 0 0 0 5 100 A\n18401 ws_1 0 0.00 0.00 12000.50 200 0xa8\n"},
        {"1 s 0 0 0 5 100 A\n", noCore, "1 s 0 0 0 5 100 A\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.after);
        std::remove("database.txt");
        if (c.before) std::ofstream("database.txt") << c.before;
        EXPECT_GE(addProject("database.txt", c.facts), 0);
        EXPECT_EQ(slurp("database.txt"), c.after);
    }
}
} // namespace
