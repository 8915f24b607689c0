// database.txt: the project number taken from the unit name, and the scan
// for the first record with that key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/monitor_state.h"
#include "support/client_dir.h"
#include "workunit/project_database.h"

namespace pelmora {

namespace {

// Looks name up, starting from values that a lookup must replace.
std::string lookUp(const char* name)
{
    std::strcpy(state.unitName, name);
    state.points = state.frames = 77;
    std::strcpy(state.core, "Stale");
    lookUpProject();
    return std::to_string(state.points) + " " + std::to_string(state.frames) + " " + state.core;
}

TEST(ProjectDatabase, ProjectNumberFromUnitName)
{
    const struct { const char* name; int number; } cases[] = {
        {"p1234_sample", 1234}, {"p10500_x", 10500}, {"p105000_x", 10500}, {"7000_x", 7000},
        {"ab1234", 0}, {":1234", 0}, {"p12", 12}, {"", 0}, {"-42", 42},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("name '") + c.name + "'");
        ClientDir dir; // no database: the number is taken all the same
        EXPECT_EQ(lookUp(c.name), "0 0 Unknown");
        EXPECT_EQ(state.projectNumber, c.number);
        EXPECT_EQ(projectNumberFromName(c.name), c.number);
    }
}

TEST(ProjectDatabase, ScansForFirstMatchingRecord)
{
    const std::string kBadMiddle = "1 s 0 0 0 1 1 A\nx s 0 0 0 2 2 B\n3 s 0 0 0 3 3 C\n";
    const std::string kLongCore = "5 s 0 0 0 1 1 ABCDEFGHIJKLMNOPQRST\n1234 s 0 0 0 2 2 B\n";
    const struct { const char* name; std::string database; const char* unit; const char* expected; } cases[] = {
        {"worked example", "1234 srv 0 0.0 0.0 110.75 100 CoreA\n", "p1234_sample", "110 100 CoreA"},
        {"points truncated down", "1 s 0 0 0 110.99 10 A\n", "p1_x", "110 10 A"},
        {"negative points truncated up", "2 s 0 0 0 -2.5 20 B\n", "p2_x", "-2 20 B"},
        {"first match wins", "7 s 0 0 0 1 1 First\n7 s 0 0 0 2 2 Second\n", "p7", "1 1 First"},
        {"last record without newline", "1 s 0 0 0 1 1 A\n2 s 0 0 0 5 6 Last", "p2", "5 6 Last"},
        {"record over several lines", "1234 srv\n0 0.0\n\t0.0 110.75\n100 CoreA\n", "p1234", "110 100 CoreA"},
        {"match before a bad record", kBadMiddle, "p1", "1 1 A"},
        {"bad record stops the scan", kBadMiddle, "p3", "0 0 Unknown"},
        {"header line", "project server atoms preferred final credit frames core\n"
                        "1234 srv 0 0.0 0.0 110.75 100 CoreA\n", "p1234", "0 0 Unknown"},
        {"incomplete last record", "1 s 0 0 0 1 1\n", "p1", "0 0 Unknown"},
        {"not in the table", "1 s 0 0 0 1 1 A\n", "p2", "0 0 Unknown"},
        {"empty file", "", "p1234", "0 0 Unknown"},
        {"white space only", " \n\t\n\n", "p1234", "0 0 Unknown"},
        {"key 0", "0 s 0 0 0 9 9 Zero\n", "ab1234", "9 9 Zero"},
        {"long core name cut", kLongCore, "p5", "1 1 ABCDEFGHIJKLMN"},
        {"record after a long core name", kLongCore, "p1234", "2 2 B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientDir dir;
        dir.write("database.txt", c.database);
        EXPECT_EQ(lookUp(c.unit), c.expected);
    }
}

TEST(ProjectDatabase, DemoDatabase)
{
    ClientDir dir;
    dir.copyDemo();
    EXPECT_EQ(lookUp("p2665_R_Zn_Cyc_R3"), "357 200 Tinker");
    EXPECT_EQ(state.projectNumber, 2665);
    EXPECT_EQ(lookUp("p794_x"), "1448 50 GroCVS");      // first record
    EXPECT_EQ(lookUp("p10844_x"), "1951 100 DGromacs"); // last record
    EXPECT_EQ(lookUp("p99999_x"), "0 0 Unknown");
}

} // namespace

} // namespace pelmora
