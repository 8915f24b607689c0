#include "server/support/text_safety.h"

#include <cstdio>
#include <strings.h>

namespace pelmora::server {
namespace {

// The length of the UTF-8 sequence at TEXT[I] and its code point; 0 when
// it is not well-formed (overlong forms and surrogates included).
std::size_t decode(const std::string& text, std::size_t i, unsigned& code)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned first = byte(i);
    std::size_t length = first < 0x80 ? 1 : (first >> 5) == 6 ? 2 : (first >> 4) == 14 ? 3 : (first >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    code = length == 1 ? first : first & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    static const unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool hidden(unsigned code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

bool startsWith(const std::string& text, std::size_t at, const char* word)
{
    const std::size_t length = std::char_traits<char>::length(word);
    return text.size() - at >= length && strncasecmp(text.c_str() + at, word, length) == 0;
}

} // namespace

std::string escapeForLog(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (std::size_t i = 0; i < text.size();) {
        unsigned code = 0;
        const std::size_t length = decode(text, i, code);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escape;
            ++i;
            continue;
        }
        if (code == '\\') {
            out += "\\\\";
        } else if (hidden(code)) {
            std::snprintf(escape, sizeof escape, code < 0x100 ? "\\x%02X" : "\\u{%04X}", code);
            out += escape;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::string neutraliseMentions(const std::string& text)
{
    static const char kZeroWidthSpace[] = "\xE2\x80\x8B";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        const bool mention = (text[i] == '@' && (startsWith(text, i + 1, "everyone") || startsWith(text, i + 1, "here"))) ||
                             (text[i] == '<' && (startsWith(text, i + 1, "!") || startsWith(text, i + 1, "@")));
        if (mention) out += kZeroWidthSpace;
    }
    return out;
}

} // namespace pelmora::server
