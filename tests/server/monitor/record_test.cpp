// The monitor's record, read from both ends: each row is the text the
// monitor's format gives (or a broken one) and what must come of it.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "server/monitor/record.h"

using namespace pelmora;
using namespace pelmora::server;
using namespace pelmora::protocol;

namespace {
std::string padded(const std::string& text, const std::string& tail = "")
{
    std::string bytes = text + '\0' + tail;
    bytes.resize(kRecordBytes, '\0');
    return bytes;
}

// The example's text, the one written out here: it changes with the table.
const char kExample[] = "3 LABPC7 1 2 45 p1234_sample 0 2400.000000 GenuineIntel coreX 100 150 user01 12345  0";
RecordValues example()
{
    RecordValues v;
    v.slot = 3, v.computerName = "LABPC7", v.cpu = 1, v.unitsSeen = 2, v.progress = 45;
    v.unit = "p1234_sample", v.cpuMhz = 2400, v.cpuVendor = "GenuineIntel", v.core = "coreX";
    v.frames = 100, v.points = 150, v.user = "user01", v.team = 12345;
    return v;
}

// BASE written through the table with the named fields' words replaced (and
// the spaces before them, if given), so a row names only the fields it is
// about. BASE's texts hold no spaces: field f is word spacesBefore(f).
struct Word {
    Field field;
    const char* text;
    int gap = -1; // the table's
};
std::string recordWith(std::initializer_list<Word> replaced, const RecordValues& base = example())
{
    char text[kRecordBytes];
    formatRecord(base, text, sizeof text);
    std::vector<std::string> words(1);
    for (const char* p = text; *p; ++p)
        if (*p == ' ') words.emplace_back();
        else words.back() += *p;
    std::string out;
    for (const RecordField& f : kRecordFields) {
        Word w{f.field, words[spacesBefore(f.field)].c_str(), f.gap};
        for (const Word& r : replaced)
            if (r.field == f.field) w = {f.field, r.text, r.gap < 0 ? f.gap : r.gap};
        out += std::string(w.gap, ' ') + w.text;
    }
    return out;
}

struct Row {
    const char* what;
    std::string bytes;
    const char* refusal; // nullptr: read, with the fields below (the example's unless given)
    int slot = 3;
    const char* name = "LABPC7";
    const char* vendor = "GenuineIntel";
    const char* user = "user01";
    bool exiting = false;
};
} // namespace

TEST(Record, ReadFromBothEnds)
{
    const Row rows[] = {
        {"the example", padded(kExample), nullptr, 3, "LABPC7", "GenuineIntel", "user01", false},
        {"vendor with spaces",
         padded(recordWith({{kSlot, "1"}, {kComputerName, "PC"}, {kCpuVendor, "VIA VIA VIA "}, {kInTray, "1"}})),
         nullptr, 1, "PC", "VIA VIA VIA "},
        {"empty texts", padded(recordWith({{kSlot, "-56"}}, RecordValues())), nullptr, -56, "", "", ""},
        {"exit record over an older tail", padded(recordWith({{kExiting, "1"}}), "0 junk tail"), nullptr, 3, "LABPC7",
         "GenuineIntel", "user01", true},
        {"Latin-1 name", padded(recordWith({{kComputerName, "CAF\xC9"}})), nullptr, 3, "CAF\xC3\x89"},
        {"overlong UTF-8, taken as Latin-1", padded(recordWith({{kComputerName, "A\xC0\x80"}, {kCpuMhz, "1.0"}})),
         nullptr, 3, "A\xC3\x80\xC2\x80"},
        {"no terminator", std::string(kRecordBytes, 'x'), "no terminator"},
        {"garbage", padded("hello world"), "words"},
        {"extra word at the end", padded(recordWith({}) + " 7"), "double space"},
        {"single space before the tray flag", padded(recordWith({{kInTray, "0 0", 1}})), "double space"},
        {"slot out of a byte", padded(recordWith({{kSlot, "200"}})), "slot"},
        {"exit flag 2", padded(recordWith({{kExiting, "2"}})), "exit flag"},
        {"clock not a number", padded(recordWith({{kCpuMhz, "fast"}})), "clock"},
        {"team not a number", padded(recordWith({{kTeam, "12x"}})), "team"},
        {"a tab", padded(recordWith({{kComputerName, "PC\t1"}})), "control"},
        {"a negative team", padded(recordWith({{kTeam, "-1"}})), "team"},
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
        const char *unitsSent, *progressSent, *mhzSent, *framesSent, *pointsSent; // the words
        int unitsSeen, progress;
        double mhz;
        int frames, points, clamped;
    } rows[] = {
        {"0", "100", "100000", "1000000", "10000000", 0, 100, 1e5, 1000000, 10000000, 0},
        {"-1", "101", "1e308", "1000001", "10000001", 0, 100, 1e5, 1000000, 10000000, 5},
        {"1000001", "-1", "-0.5", "-1", "-2147483648", 1000000, 0, 0, 0, 0, 5},
    };
    for (const Row& row : rows) {
        const std::string text = recordWith({{kUnitsSeen, row.unitsSent}, {kProgress, row.progressSent},
                                             {kCpuMhz, row.mhzSent}, {kFrames, row.framesSent},
                                             {kPoints, row.pointsSent}});
        const RecordParse got = parseRecord(padded(text).data(), kRecordBytes);
        ASSERT_TRUE(got.ok) << text << ": " << got.reason;
        EXPECT_EQ(got.record.unitsSeen, row.unitsSeen) << text;
        EXPECT_EQ(got.record.progress, row.progress) << text;
        EXPECT_EQ(got.record.cpuMhz, row.mhz) << text;
        EXPECT_EQ(got.record.frames, row.frames) << text;
        EXPECT_EQ(got.record.points, row.points) << text;
        EXPECT_EQ(got.record.clamped, row.clamped) << text;
    }
}

// The table writes the bytes the monitor has always sent (and the reader
// takes them back); nothing past the terminator is touched, and a short
// buffer gets the text cut and terminated.
TEST(Record, WrittenFromTheFieldTable)
{
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
        const int n = formatRecord(v, &bytes[0], bytes.size());
        ASSERT_EQ(n, static_cast<int>(std::strlen(row.text)));
        EXPECT_EQ(bytes.substr(0, n + 2), std::string(row.text) + '\0' + '#');
        const RecordParse back = parseRecord(padded(row.text).data(), kRecordBytes);
        ASSERT_TRUE(back.ok) << back.reason;
        EXPECT_EQ(back.record.slot, v.slot);
        EXPECT_EQ(back.record.cpuVendor, v.cpuVendor);
        EXPECT_EQ(back.record.inTray, v.inTray == 1);
    }
    std::string cut(16, '#');
    EXPECT_EQ(formatRecord(example(), &cut[0], 6), static_cast<int>(sizeof kExample - 1));
    EXPECT_EQ(cut, std::string("3 LAB") + '\0' + "##########");
}
