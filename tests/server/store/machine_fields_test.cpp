// The machine's fields README.md lists for GET /api/machines are those the
// API sends, in its order.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "server/store/machine_fields.h"

using namespace pelmora::server;

TEST(MachineFields, TheReadmeListsThoseTheApiSends)
{
    std::ifstream in(PELMORA_SOURCE_DIR "/README.md");
    ASSERT_TRUE(in);
    std::string line, listed;
    while (std::getline(in, line))
        if (line.rfind("| `GET /api/machines` |", 0) == 0) {
            const std::size_t from = line.find("[{"), to = line.find("}]");
            ASSERT_LT(from, to);
            listed = line.substr(from + 2, to - from - 2);
        }
    std::string shown;
    for (const MachineField& f : kMachineFields)
        if (f.shown != Shown::no) shown += std::string(shown.empty() ? "\"" : ",\"") + f.key + "\"";
    EXPECT_EQ(listed, shown);
}
