// The reading primitives under the settings, identity and unit-file readers:
// what the readers' own tests cannot easily reach.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "reading/text_reading.h"
#include "platform/platform.h"
#include "support/client_dir.h"

namespace pelmora {

namespace {

// Opens text as a file the way the readers open theirs.
FILE* openWith(const ClientDir& dir, const std::string& text)
{
    dir.write("sample.txt", text);
    return openTextFile("sample.txt");
}

TEST(TextReading, ScanIntSaturatesAndReportsFailure)
{
    const struct { const char* text; int result; int value; int next; } cases[] = {
        {"  42 rest", 1, 42, ' '}, {"\n\n-17\n", 1, -17, '\n'}, {"+5x", 1, 5, 'x'},
        {"2147483647 ", 1, INT_MAX, ' '}, {"2147483648 ", 1, INT_MAX, ' '},
        {"99999999999999999999 ", 1, INT_MAX, ' '}, {"-2147483648", 1, INT_MIN, EOF},
        {"-99999999999 ", 1, INT_MIN, ' '}, {" abc", 0, 7, 'a'}, {"  \n ", EOF, 7, EOF}, {"", EOF, 7, EOF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.text + "'");
        ClientDir dir;
        FILE* file = openWith(dir, c.text);
        ASSERT_NE(file, nullptr);
        int value = 7;
        EXPECT_EQ(scanInt(file, &value), c.result);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(std::fgetc(file), c.next);
        std::fclose(file);
    }
}

TEST(TextReading, ScanWordCutsButConsumesWholeWord)
{
    const struct { const char* text; bool read; const char* word; int next; } cases[] = {
        {"  hello world", true, "hello", ' '}, {"\n\n word\n", true, "word", '\n'},
        {"abcdefg x", true, "abcdefg", ' '}, {"abcdefghijklmnop next", true, "abcdefg", ' '},
        {"abcdefghijklmnop", true, "abcdefg", EOF}, {" \n ", false, "keep", EOF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input '") + c.text + "'");
        ClientDir dir;
        FILE* file = openWith(dir, c.text);
        ASSERT_NE(file, nullptr);
        char field[8] = "keep";
        EXPECT_EQ(scanWord(file, field, sizeof field), c.read);
        EXPECT_STREQ(field, c.word);
        EXPECT_EQ(std::fgetc(file), c.next);
        std::fclose(file);
    }
}

TEST(TextReading, OpenTextFileReadsCrLfAsNewline)
{
    ClientDir dir;
    FILE* file = openWith(dir, "a\r\nb\rc\r\n");
    ASSERT_NE(file, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer - 1, file), 6u);
    EXPECT_STREQ(buffer, "a\nb\rc\n");
    std::fclose(file);

    // A CR that ends one refill of the reader (4096 bytes at a time on Linux)
    // and the LF that starts the next are still one newline; a lone CR stays.
    const size_t filler = 4095;
    const std::pair<std::string, std::string> tails[] = {{"\r\nb", "\nb"}, {"\rb", "\rb"}, {"\r", "\r"}};
    for (const auto& [tail, expected] : tails) {
        SCOPED_TRACE(tail.size() == 3 ? "CR LF" : "a lone CR");
        file = openWith(dir, std::string(filler, 'a') + tail);
        ASSERT_NE(file, nullptr);
        std::string read(filler + 8, '\0');
        read.resize(std::fread(&read[0], 1, read.size(), file));
        EXPECT_EQ(read.find_first_not_of('a'), filler);
        EXPECT_EQ(read.substr(filler), expected);
        std::fclose(file);
    }

    EXPECT_EQ(openTextFile("missing.txt"), nullptr);
    std::filesystem::create_directory("folder");
    EXPECT_EQ(openTextFile("folder"), nullptr);
}

} // namespace

} // namespace pelmora
