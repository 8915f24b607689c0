// What the log and the webhook make of hostile names.
#include <gtest/gtest.h>

#include "server/support/text_safety.h"

using namespace pelmora::server;

TEST(TextSafety, LogShowsHiddenCharactersEscaped)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"LABPC7 ü 中", "LABPC7 ü 中"},
        {"a\nb\rc\td\x1b[2J", "a\\x0Ab\\x0Dc\\x09d\\x1B[2J"},
        {"del\x7f c1\xc2\x85", "del\\x7F c1\\x85"},
        {"rlo\xe2\x80\xae gnp.exe", "rlo\\u{202E} gnp.exe"},
        {"iso\xe2\x81\xa6x\xe2\x81\xa9 lrm\xe2\x80\x8e alm\xd8\x9c", "iso\\u{2066}x\\u{2069} lrm\\u{200E} alm\\u{061C}"},
        {"bad \xff \xc0\xaf \xed\xa0\x80 cut\xe2\x80", "bad \\xFF \\xC0\\xAF \\xED\\xA0\\x80 cut\\xE2\\x80"},
        {"C:\\x41", "C:\\\\x41"},
    };
    for (const Case& c : cases) EXPECT_EQ(escapeForLog(c.in), c.out) << c.in;
}

TEST(TextSafety, MentionsNotifyNobody)
{
    const std::string z = "\xE2\x80\x8B";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"@everyone @HERE @Here2", "@" + z + "everyone @" + z + "HERE @" + z + "Here2"},
        {"<!channel> <!here> <@U123> <#C1>", "<" + z + "!channel> <" + z + "!here> <" + z + "@U123> <#C1>"},
        {"user@example.org lab@home a<b", "user@example.org lab@home a<b"},
        {"trailing @ and <", "trailing @ and <"},
    };
    for (const Case& c : cases) EXPECT_EQ(neutraliseMentions(c.in), c.out) << c.in;
}
