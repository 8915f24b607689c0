#include "reading/text_reading.h"

#include <climits>
#include <cstring>

#include "state/monitor_state.h"
#include "state/whole_numbers.h"
#include "platform/platform.h"

namespace pelmora {

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

void readNumber(const KeyedLine& line) { scanInt(state.input, line.number); }

void readWord(const KeyedLine& line) { scanWord(state.input, line.text, line.width); }

bool readKeyedFile(const char* path, int pieceWidth, int skipWidth, const KeyedLine* lines, size_t count)
{
    state.input = openTextFile(path);
    if (!state.input) return false;
    while (!std::feof(state.input)) {
        if (!readPiece(state.input, state.lineBuffer, pieceWidth)) break;
        if (state.lineBuffer[0] == '\0') continue;
        const KeyedLine* kind = nullptr;
        for (size_t i = 0; i < count && !kind; ++i) {
            const KeyedLine& line = lines[i];
            const bool fits = line.length == 0 ? std::strstr(state.lineBuffer, line.key) != nullptr
                                               : std::strncmp(state.lineBuffer, line.key, line.length) == 0;
            if (fits) kind = &line;
        }
        if (!kind) continue;
        kind->read(*kind);
        skipLine(state.input, skipWidth);
    }
    std::fclose(state.input);
    state.input = nullptr;
    return true;
}

} // namespace pelmora
