#include "server/store/postgres/connection_secrets.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace pelmora::server {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// TEXT with its well-formed %XX escapes decoded (a bad one kept as written).
std::string percentDecoded(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// A URI's passwords: from the first ':' of the part after "://" to each
// '@' after it (the user information ends at one of them, whichever libpq
// would take), and each "password=" of the query up to its '&'.
void uriPasswords(const std::string& uri, std::size_t start, std::vector<std::string>& out)
{
    const std::size_t colon = uri.find(':', start);
    const std::size_t firstAt = uri.find('@', start);
    if (colon != std::string::npos && firstAt != std::string::npos && colon < firstAt)
        for (std::size_t at = uri.find('@', colon); at != std::string::npos; at = uri.find('@', at + 1))
            out.push_back(uri.substr(colon + 1, at - colon - 1));
    for (std::size_t key = uri.find("password=", start); key != std::string::npos;
         key = uri.find("password=", key + 1)) {
        const std::size_t from = key + 9, to = uri.find('&', from);
        out.push_back(uri.substr(from, to == std::string::npos ? std::string::npos : to - from));
    }
}

// A key=value string's password: its value quoted ('...', with \' and \\)
// or bare up to a space; after a bare one, the words up to the next that
// holds '=' too (a password with a space not quoted: libpq names its second
// half as a key missing its "=").
void keywordPasswords(const std::string& text, std::vector<std::string>& out)
{
    for (std::size_t key = text.find("password"); key != std::string::npos; key = text.find("password", key + 1)) {
        std::size_t i = key + 8;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size() || text[i] != '=') continue;
        ++i;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        std::string value;
        if (i < text.size() && text[i] == '\'') {
            const std::size_t quote = i;
            for (++i; i < text.size() && text[i] != '\''; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            out.push_back(text.substr(quote + 1, i - quote - 1)); // as written, with its escapes
            out.push_back(value);
            continue;
        }
        const auto word = [&](std::size_t& at) {
            const std::size_t from = at;
            while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
            return text.substr(from, at - from);
        };
        out.push_back(word(i));
        for (;;) {
            while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
            std::size_t at = i;
            const std::string next = word(at);
            if (next.empty() || next.find('=') != std::string::npos) break;
            out.push_back(next);
            i = at;
        }
    }
}

} // namespace

std::string withoutPasswords(std::string message, const std::string& conninfo)
{
    std::vector<std::string> secrets;
    const std::size_t scheme = conninfo.find("://");
    if (scheme != std::string::npos)
        uriPasswords(conninfo, scheme + 3, secrets);
    else
        keywordPasswords(conninfo, secrets);
    for (std::size_t i = 0, written = secrets.size(); i < written; ++i) secrets.push_back(percentDecoded(secrets[i]));
    secrets.erase(std::remove(secrets.begin(), secrets.end(), std::string()), secrets.end());
    // The longest first, so a password holding another is replaced whole.
    std::sort(secrets.begin(), secrets.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const std::string& secret : secrets)
        for (std::size_t at = message.find(secret); at != std::string::npos; at = message.find(secret, at + 3))
            message.replace(at, secret.size(), "***");
    return message;
}

} // namespace pelmora::server
