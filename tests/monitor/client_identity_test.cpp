// ../client.cfg, read three times in pieces of 14, 9 and 11 characters for
// the machine id, the user name and the team.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/monitor_state.h"
#include "config/client_identity.h"
#include "support/client_dir.h"

namespace pelmora {

namespace {

std::string identity()
{
    return "id=" + std::to_string(state.machineId) + " user=" + state.username +
           " team=" + std::to_string(state.team);
}

struct IdentityCase {
    const char* name;
    std::string file;
    std::string expected;
};

const IdentityCase kCases[] = {
    {"client layout", "[settings]\nusername=JohnDoe\nteam=12345\nmachineid=2\nlocal=12\n",
     "id=2 user=JohnDoe team=12345"},
    {"three-digit machine id", "machineid=123\n", "id=123 user= team=0"},
    {"four-digit machine id cut", "machineid=1234\n", "id=123 user= team=0"},
    {"six-digit team cut", "team=123456\n", "id=0 user= team=12345"},
    {"user name ends at a blank", "username=John Doe\n", "id=0 user=John team=0"},
    {"empty user name takes the next line", "username=\nteam=7\n", "id=0 user=team=7 team=7"},
    {"text before team= stays in front", "myteam=7\n", "id=0 user= team=0"},
    {"blanks before team= are skipped", "  team=7\n", "id=0 user= team=7"},
    {"last line without newline loses a character", "team=42", "id=0 user= team=4"},
    {"skip swallows the next machineid line", "machineid=1\nmachineid=2\n", "id=1 user= team=0"},
    {"later machineid line wins", "machineid=1\nx\nmachineid=2\n", "id=2 user= team=0"},
    {"skip reads 19 characters", "machineid=1\n" + std::string(19, '.') + "machineid=2\n", "id=2 user= team=0"},
    {"later username line wins", "username=Bob\nusername=Carl\n", "id=0 user=Carl team=0"},
    {"usern alone", "usern\nAlice Bob\n", "id=0 user=Alice team=0"},
    {"usern line of 8", "usernabc\nAlice\n", "id=0 user=Alice team=0"},
    {"usern line of 9", "usernabcd\nAlice\n", "id=0 user=Alice team=0"},
    {"usern line of 10", "usernabcdX Y\n", "id=0 user=X team=0"},
    {"user= is not usern", "user=Bob\n", "id=0 user= team=0"},
    {"machineid straddling two pieces", "xxxxxxxxxxmachineid=5\n", "id=0 user= team=0"},
    {"team straddling two pieces", "abcdefghteam=9\n", "id=0 user= team=0"},
    {"long user name cut to 56", "username=" + std::string(70, 'n') + "\n",
     "id=0 user=" + std::string(56, 'n') + " team=0"},
};

TEST(ClientIdentity, ReadsFileAsDescribed)
{
    for (const IdentityCase& c : kCases) {
        for (bool crlf : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (crlf ? " (CR LF)" : ""));
            ClientDir dir;
            std::string file = c.file;
            if (crlf)
                for (size_t at = file.find('\n'); at != std::string::npos; at = file.find('\n', at + 2))
                    file.insert(at, "\r");
            dir.write("../client.cfg", file);
            readClientIdentity();
            EXPECT_EQ(identity(), c.expected);
        }
    }
}

TEST(ClientIdentity, DemoFile)
{
    ClientDir dir;
    dir.copyDemo();
    readClientIdentity();
    EXPECT_EQ(identity(), "id=2 user=FoldingFan team=48213");
}

TEST(ClientIdentity, MissingFileChangesNothing)
{
    ClientDir dir;
    std::strcpy(state.username, "keep");
    state.team = 5;
    readClientIdentity();
    EXPECT_EQ(identity(), "id=0 user=keep team=5");
}

} // namespace

} // namespace pelmora
