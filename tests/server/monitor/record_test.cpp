// The monitor's record, read from both ends: each row is the text the
// monitor's format gives (or a broken one) and what must come of it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/monitor/record.h"

using namespace pelmora;
using namespace pelmora::server;
using protocol::kRecordBytes;

namespace {
std::string padded(const std::string& text, const std::string& tail = "")
{
    std::string bytes = text + '\0' + tail;
    bytes.resize(kRecordBytes, '\0');
    return bytes;
}

struct Row {
    const char* what;
    std::string bytes;
    const char* refusal; // nullptr: read, with the fields below
    int slot = 0;
    const char* name = "";
    const char* vendor = "";
    const char* user = "";
    bool exiting = false;
};

const char kExample[] = "3 LABPC7 1 2 45 p1234_sample 0 2400.000000 GenuineIntel coreX 100 150 user01 12345  0";
} // namespace

TEST(Record, ReadFromBothEnds)
{
    const Row rows[] = {
        {"the example", padded(kExample), nullptr, 3, "LABPC7", "GenuineIntel", "user01", false},
        {"vendor with spaces", padded("1 PC 1 2 45 u 0 2400.000000 VIA VIA VIA  coreX 100 150 user01 12345  1"),
         nullptr, 1, "PC", "VIA VIA VIA ", "user01", false},
        {"empty texts", padded("-56  1 2 45  0 0.000000   100 150  12345  0"), nullptr, -56, "", "", "", false},
        {"exit record over an older tail", padded("3 LABPC7 1 2 45 u 1 2400.000000 V c 1 2 n 5  0", "0 junk tail"),
         nullptr, 3, "LABPC7", "V", "n", true},
        {"Latin-1 name", padded("3 CAF\xC9 1 2 45 u 0 1.000000 V c 1 2 n 5  0"), nullptr, 3, "CAF\xC3\x89", "V", "n",
         false},
        {"overlong UTF-8, taken as Latin-1", padded("3 A\xC0\x80 1 2 45 u 0 1.0 V c 1 2 n 5  0"), nullptr, 3,
         "A\xC3\x80\xC2\x80", "V", "n", false},
        {"no terminator", std::string(kRecordBytes, 'x'), "no terminator"},
        {"garbage", padded("hello world"), "words"},
        {"extra word at the end", padded(std::string(kExample) + " 7"), "double space"},
        {"single space before the tray flag", padded("3 PC 1 2 45 u 0 2400.000000 V c 100 150 user01 12345 0 0"),
         "double space"},
        {"slot out of a byte", padded("200 PC 1 2 45 u 0 2400.000000 V c 100 150 user01 12345  0"), "slot"},
        {"exit flag 2", padded("3 PC 1 2 45 u 2 2400.000000 V c 100 150 user01 12345  0"), "exit flag"},
        {"clock not a number", padded("3 PC 1 2 45 u 0 fast V c 100 150 user01 12345  0"), "clock"},
        {"team not a number", padded("3 PC 1 2 45 u 0 1.0 V c 100 150 user01 12x  0"), "team"},
        {"a tab", padded("3 PC\t1 2 45 u 0 1.0 V c 100 150 user01 12  0"), "control"},
        {"a negative team", padded("3 PC 1 2 45 u 0 1.0 V c 100 150 user01 -1  0"), "team"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(row.bytes.size(), kRecordBytes);
        const RecordParse got = parseRecord(row.bytes.data(), row.bytes.size());
        if (row.refusal) {
            EXPECT_FALSE(got.ok);
            EXPECT_NE(got.reason.find(row.refusal), std::string::npos) << got.reason;
            continue;
        }
        ASSERT_TRUE(got.ok) << got.reason;
        EXPECT_EQ(got.record.slot, row.slot);
        EXPECT_EQ(got.record.computerName, row.name);
        EXPECT_EQ(got.record.cpuVendor, row.vendor);
        EXPECT_EQ(got.record.user, row.user);
        EXPECT_EQ(got.record.exiting, row.exiting);
    }
}

TEST(Record, EveryFieldOfTheExample)
{
    const std::string bytes = padded(kExample);
    const MonitorRecord r = parseRecord(bytes.data(), bytes.size()).record;
    EXPECT_EQ(r.cpu, 1);
    EXPECT_EQ(r.unitsSeen, 2);
    EXPECT_EQ(r.progress, 45);
    EXPECT_EQ(r.unit, "p1234_sample");
    EXPECT_DOUBLE_EQ(r.cpuMhz, 2400.0);
    EXPECT_EQ(r.core, "coreX");
    EXPECT_EQ(r.frames, 100);
    EXPECT_EQ(r.points, 150);
    EXPECT_EQ(r.team, 12345);
    EXPECT_FALSE(r.inTray);
}

TEST(Record, NumbersBroughtIntoTheirRanges)
{
    struct Row {
        const char* text;
        int unitsSeen, progress;
        double mhz;
        int frames, points, clamped;
    } rows[] = {
        {"0 PC 1 0 100 u 0 100000 V c 1000000 10000000 n 0  0", 0, 100, 1e5, 1000000, 10000000, 0},
        {"0 PC 1 -1 101 u 0 1e308 V c 1000001 10000001 n 5  0", 0, 100, 1e5, 1000000, 10000000, 5},
        {"0 PC 1 1000001 -1 u 0 -0.5 V c -1 -2147483648 n 5  0", 1000000, 0, 0, 0, 0, 5},
    };
    for (const Row& row : rows) {
        std::string bytes = row.text;
        bytes.resize(kRecordBytes, '\0');
        const RecordParse got = parseRecord(bytes.data(), bytes.size());
        ASSERT_TRUE(got.ok) << row.text << ": " << got.reason;
        EXPECT_EQ(got.record.unitsSeen, row.unitsSeen) << row.text;
        EXPECT_EQ(got.record.progress, row.progress) << row.text;
        EXPECT_EQ(got.record.cpuMhz, row.mhz) << row.text;
        EXPECT_EQ(got.record.frames, row.frames) << row.text;
        EXPECT_EQ(got.record.points, row.points) << row.text;
        EXPECT_EQ(got.record.clamped, row.clamped) << row.text;
    }
}

// The table writes the bytes the monitor has always sent (and the reader
// takes them back); nothing past the terminator is touched, and a short
// buffer gets the text cut and terminated.
TEST(Record, WrittenFromTheFieldTable)
{
    using protocol::RecordValues;
    const auto example = [] {
        RecordValues v;
        v.slot = 3, v.computerName = "LABPC7", v.cpu = 1, v.unitsSeen = 2, v.progress = 45;
        v.unit = "p1234_sample", v.cpuMhz = 2400, v.cpuVendor = "GenuineIntel", v.core = "coreX";
        v.frames = 100, v.points = 150, v.user = "user01", v.team = 12345;
        return v;
    };
    const struct {
        const char* what;
        void (*change)(RecordValues&);
        const char* text;
    } rows[] = {
        {"the example", [](RecordValues&) {}, kExample},
        {"exit record in the tray, vendor with spaces",
         [](RecordValues& v) { v.exiting = 1, v.inTray = 1, v.cpuVendor = "VIA VIA VIA "; },
         "3 LABPC7 1 2 45 p1234_sample 1 2400.000000 VIA VIA VIA  coreX 100 150 user01 12345  1"},
        {"empty texts, a negative slot",
         [](RecordValues& v) { v.slot = -56, v.cpuMhz = 0, v.computerName = v.unit = v.cpuVendor = v.core = v.user = ""; },
         "-56  1 2 45  0 0.000000   100 150  12345  0"},
        {"clock rounded to six places", [](RecordValues& v) { v.cpuMhz = 1999.9999996; },
         "3 LABPC7 1 2 45 p1234_sample 0 2000.000000 GenuineIntel coreX 100 150 user01 12345  0"},
        {"whole numbers at their ends", [](RecordValues& v) { v.frames = -2147483647 - 1, v.points = 2147483647; },
         "3 LABPC7 1 2 45 p1234_sample 0 2400.000000 GenuineIntel coreX -2147483648 2147483647 user01 12345  0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        RecordValues v = example();
        row.change(v);
        std::string bytes(kRecordBytes, '#');
        const int n = protocol::formatRecord(v, &bytes[0], bytes.size());
        ASSERT_EQ(n, static_cast<int>(std::strlen(row.text)));
        EXPECT_EQ(bytes.substr(0, n + 2), std::string(row.text) + '\0' + '#');
        const RecordParse back = parseRecord(padded(row.text).data(), kRecordBytes);
        ASSERT_TRUE(back.ok) << back.reason;
        EXPECT_EQ(back.record.slot, v.slot);
        EXPECT_EQ(back.record.cpuVendor, v.cpuVendor);
        EXPECT_EQ(back.record.inTray, v.inTray == 1);
    }
    std::string cut(16, '#');
    EXPECT_EQ(protocol::formatRecord(example(), &cut[0], 6), static_cast<int>(sizeof kExample - 1));
    EXPECT_EQ(cut, std::string("3 LAB") + '\0' + "##########");
}
