// pelmora.ini: keys matched in pieces of six, values read straight from the
// file, delay given in minutes and kept in seconds.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>

#include "state/monitor_state.h"
#include "config/settings.h"
#include "support/client_dir.h"

namespace pelmora {

namespace {

// The settings that differ from their start value, as "key=value" words.
std::string changedSettings()
{
    const std::pair<const char*, std::string> fields[] = {
        {"delay", std::to_string(state.delay)}, {"cpunum", std::to_string(state.cpunum)},
        {"ontop", std::to_string(state.ontop)}, {"fhlog", std::to_string(state.fhlog)},
        {"stats", std::to_string(state.stats)}, {"quiet", std::to_string(state.quiet)},
        {"spath", state.spath}, {"ipadd", state.ipadd}, {"servc", std::to_string(state.servc)},
        {"korv", std::to_string(state.korv)}, {"nowin", std::to_string(state.nowin)}, {"khost", state.khost}};
    std::string out;
    for (const auto& [key, value] : fields)
        if (!value.empty() && value != "0") out += (out.empty() ? "" : " ") + std::string(key) + "=" + value;
    return out;
}

std::string withCrLf(std::string text)
{
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.insert(at, "\r");
    return text;
}

struct SettingsCase {
    const char* name;
    std::string file;
    std::string expected;
};

const std::string kLongWord(300, 'a');

const SettingsCase kCases[] = {
    {"one key a line",
     "delay 5\ncpunum 2\nontop 1\nfhlog 1\nstats 1\nquiet 0\nspath MyService\nipadd 10.0.0.5\n"
     "servc 1\nkorv! 0\nnowin 0\n",
     "delay=300 cpunum=2 ontop=1 fhlog=1 stats=1 spath=MyService ipadd=10.0.0.5 servc=1"},
    {"remaining keys", "quiet 1\nkorv! 1\nnowin 1\nkhost stats.example.org:8080\n",
     "quiet=1 korv=1 nowin=1 khost=stats.example.org:8080"},
    {"flags keep values other than 1", "fhlog 2\nkorv! 2\n", "fhlog=2 korv=2"},
    {"delay with equals sign", "delay=2\n", "delay=120"},
    {"delay 0 counts as 1", "delay 0\n", "delay=60"},
    {"negative delay counts as 1", "delay -3\n", "delay=60"},
    {"last delay wins", "delay 2\ndelay 3\n", "delay=180"},
    {"empty file", "", ""},
    {"no delay line leaves delay 0", "cpunum 3\n", "cpunum=3"},
    {"cpunum=2 reads no number", "cpunum=2\n", ""},
    {"cpunum2", "cpunum2\n", "cpunum=2"},
    {"delay5 takes the next line's number", "delay5\n3\n", "delay=180"},
    {"delay5 swallows the next key line", "delay5\ncpunum 2\n", "delay=60"},
    {"value on the next line, rest of it skipped", "ontop\n1stats 1\n", "ontop=1"},
    {"key at the 7th character", "xxxxxxdelay 3\n", "delay=180"},
    {"key at the 13th character", "# settings: ontop 1\n", "ontop=1"},
    {"key at the 8th character", "xxxxxxxdelay 3\n", ""},
    {"keys are case-sensitive", "Delay 5\nONTOP 1\n", ""},
    {"a key differing in its last letter", "delax 3\nontoq 1\n", ""},
    {"unreadable delay converts again", "delay 5\ndelay x\n", "delay=18000"},
    {"one word, rest of line skipped", "ipadd 10.0.0.1 and more words\nontop 1\n",
     "ontop=1 ipadd=10.0.0.1"},
    {"skip takes 499 characters", "ontop 1" + std::string(499, '.') + "stats 1\n", "ontop=1 stats=1"},
    {"skip leaves the 500th", "ontop 1" + std::string(498, '.') + "stats 1\n", "ontop=1"},
    {"no final newline", "cpunum 4", "cpunum=4"},
    {"largest delay", "delay 35791\n", "delay=2147460"},
    {"delay past int range clamped", "delay 99999999999\n", "delay=2147460"},
    {"long spath cut, whole word consumed",
     "spath " + kLongWord + " " + std::string(498, '.') + "ontop 1\n",
     "ontop=1 spath=" + std::string(255, 'a')},
    {"long ipadd cut", "ipadd " + kLongWord + "\nservc 1\n", "ipadd=" + std::string(63, 'a') + " servc=1"},
    {"long khost cut", "khost " + kLongWord + "\n", "khost=" + std::string(255, 'a')},
};

TEST(Settings, ReadsFileAsDescribed)
{
    for (const SettingsCase& c : kCases) {
        for (bool crlf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (crlf ? " (CR LF)" : ""));
            ClientDir dir;
            dir.write("pelmora.ini", crlf ? withCrLf(c.file) : c.file);
            EXPECT_EQ(readSettings(), 1);
            EXPECT_EQ(changedSettings(), c.expected);
            EXPECT_STREQ(state.username, ""); // the field after khost
        }
    }
}

TEST(Settings, MissingFileGivesDefaultsAndTouchesNothingElse)
{
    ClientDir dir;
    state.stats = 1;
    EXPECT_EQ(readSettings(), 0);
    EXPECT_EQ(changedSettings(), "delay=5 cpunum=1 fhlog=1 stats=1");
    EXPECT_EQ(pollPeriodMilliseconds(), 5000u);
}

// The sample shipped to Windows users, with CR LF line ends as shipped: its
// settings; its notes alone, which set nothing even behind a byte-order
// mark; its example lines, which work once the semicolon is taken out.
TEST(Settings, WindowsSampleFile)
{
    std::ifstream in(PELMORA_SOURCE_DIR "/packaging/win32/pelmora.ini");
    std::string sample, notes, line;
    while (std::getline(in, line)) {
        sample += line + "\n";
        if (line.empty() || line[0] == ';') notes += line + "\n";
    }
    std::string examples = sample;
    for (const char* example : {";ipadd", ";spath", ";khost"}) examples.erase(examples.find(example), 1);
    const SettingsCase cases[] = {
        {"as shipped", sample, "delay=60 cpunum=1 fhlog=1"},
        {"notes alone", notes, ""},
        {"notes behind a byte-order mark", "\xEF\xBB\xBF" + notes, ""},
        {"examples taken in", examples,
         "delay=60 cpunum=1 fhlog=1 spath=FAHClient ipadd=192.168.1.10 khost=stats.example.org"}};
    ASSERT_NE(notes, "");
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClientDir dir;
        dir.write("pelmora.ini", withCrLf(c.file));
        EXPECT_EQ(readSettings(), 1);
        EXPECT_EQ(changedSettings(), c.expected);
    }
}

TEST(Settings, PollPeriodNeverUnderFiveSeconds)
{
    ClientDir dir;
    const std::pair<int, unsigned> cases[] = {{0, 5000u}, {4, 5000u}, {60, 60000u}, {2147460, 2147460000u}};
    for (const auto& [delay, period] : cases) {
        state.delay = delay;
        EXPECT_EQ(pollPeriodMilliseconds(), period) << "delay " << delay;
    }
}

} // namespace

} // namespace pelmora
