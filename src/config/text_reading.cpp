#include "config/text_reading.h"

#include <climits>
#include <cstring>

#include "app/monitor_state.h"
#include "app/whole_numbers.h"

namespace {
// White space as "%s" and "%d" see it in the C locale.
bool isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips white space; returns the first other character, or EOF.
int skipBlanks(FILE* file)
{
    int c;
    do c = std::getc(file);
    while (c != EOF && isBlank(c));
    return c;
}
} // namespace

bool readPiece(FILE* file, char* buffer, int width)
{
    if (!std::fgets(buffer, width, file)) return false;
    size_t length = std::strlen(buffer);
    if (length > 0) buffer[length - 1] = '\0';
    return true;
}

int scanInt(FILE* file, int* target)
{
    int c = skipBlanks(file);
    if (c == EOF) return EOF;
    bool negative = false;
    if (c == '-' || c == '+') {
        negative = c == '-';
        c = std::getc(file);
    }
    if (c < '0' || c > '9') {
        // Like the library's scanf, only the character that failed goes back.
        if (c != EOF) std::ungetc(c, file);
        return 0;
    }
    long long value = 0;
    while (c >= '0' && c <= '9') {
        if (value <= INT_MAX) value = value * 10 + (c - '0');
        c = std::getc(file);
    }
    if (c != EOF) std::ungetc(c, file);
    *target = clampToInt(negative ? -value : value);
    return 1;
}

bool scanWord(FILE* file, char* target, size_t width)
{
    int c = skipBlanks(file);
    if (c == EOF) return false;
    size_t length = 0;
    while (c != EOF && !isBlank(c)) {
        if (length + 1 < width) target[length++] = static_cast<char>(c);
        c = std::getc(file);
    }
    if (c != EOF) std::ungetc(c, file);
    if (width > 0) target[length] = '\0';
    return true;
}

void skipLine(FILE* file, int width)
{
    if (width > static_cast<int>(sizeof state.wordBuffer)) width = sizeof state.wordBuffer;
    std::fgets(state.wordBuffer, width, file);
}

int atoiSaturating(const char* text)
{
    while (isBlank(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (value <= INT_MAX) value = value * 10 + (*text - '0');
    return clampToInt(negative ? -value : value);
}
