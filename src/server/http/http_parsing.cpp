#include "server/http/http_parsing.h"

#include <boost/beast/http/rfc7230.hpp>
#include <algorithm>
#include <cctype>
#include <strings.h>

namespace pelmora::server {
namespace {

bool knownMethod(const std::string& m)
{
    for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"})
        if (m == known) return true;
    return false;
}

int hexDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

// The path of an origin-form target, %XX decoded ('+' stays); false for any other form.
bool pathOf(boost::beast::string_view target, std::string& path, std::string& query)
{
    if (target.empty() || target[0] != '/') return false;
    const std::size_t mark = target.find('?');
    const boost::beast::string_view raw = target.substr(0, mark);
    if (mark != boost::beast::string_view::npos) query = std::string(target.substr(mark + 1));
    path.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
            path += static_cast<char>(hexDigit(raw[i + 1]) * 16 + hexDigit(raw[i + 2]));
            i += 2;
        } else {
            path += raw[i];
        }
    }
    return true;
}

} // namespace

void limitParser(RequestParser& parser, std::size_t largestBody)
{
    parser.header_limit(kLargestHead);
    parser.body_limit(largestBody);
}

int headOverLimit(const RequestParser& parser)
{
    const auto& head = parser.get();
    if (head.method_string().size() + head.target().size() + 10 > kLongestRequestLine) return 414;
    std::size_t lines = 0;
    // A body's framing is a Content-Length or "chunked" alone: any other
    // Transfer-Encoding (gzip, a misspelt one, several) could be read
    // otherwise by a proxy in front, so it is refused before anything else.
    int encodings = 0, codings = 0;
    for (const auto& field : head) {
        if (++lines > kMostHeaderLines) return 431;
        if (field.name_string().size() + field.value().size() + 4 > kLongestHeaderLine) return 431;
        if (field.name() != boost::beast::http::field::transfer_encoding) continue;
        ++encodings;
        for (const auto& coding : boost::beast::http::token_list(field.value()))
            codings += boost::beast::iequals(coding, "chunked") ? 1 : 2;
    }
    return encodings > 0 && codings != 1 ? 400 : 0;
}

int headRunOver(const char* seen, std::size_t size)
{
    const boost::beast::string_view text(seen, size);
    const std::size_t end = text.find('\n');
    return end == boost::beast::string_view::npos || end > kLongestRequestLine ? 414 : 431;
}

void FoldScan::scan(const char* bytes, std::size_t size)
{
    for (std::size_t i = 0; i < size && !ended_; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            ++run_;
            ended_ = run_ == 2;
        } else if ((c == ' ' || c == '\t') && run_ == 1) {
            folded_ = true;
            ended_ = true;
        } else if (c != '\r') {
            run_ = 0;
        }
    }
}

void ScannedBuffer::restart()
{
    scan_.restart();
    const auto in = buffer_.data();
    scan_.scan(static_cast<const char*>(in.data()), in.size());
}

void ScannedBuffer::commit(std::size_t n)
{
    const std::size_t before = buffer_.size();
    buffer_.commit(n);
    const auto in = buffer_.data();
    scan_.scan(static_cast<const char*>(in.data()) + before, in.size() - before);
}

bool toRequest(RequestParser::value_type& message, const std::string& peer, HttpRequest& req)
{
    req.method = std::string(message.method_string());
    req.remote_addr = peer;
    std::string query;
    if (!knownMethod(req.method) || !pathOf(message.target(), req.path, query)) return false;
    parseQueryText(query, req.params);
    for (const auto& field : message)
        req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    req.body = std::move(message.body());
    if (req.method == "POST" &&
        strncasecmp(req.get_header_value("Content-Type").c_str(), "application/x-www-form-urlencoded", 33) == 0)
        parseQueryText(req.body, req.form);
    return true;
}

bool acceptsGzip(const std::string& acceptEncoding)
{
    int gzip = -1, any = -1; // -1: not named; 0: refused; 1: accepted
    std::size_t at = 0;
    while (at <= acceptEncoding.size()) {
        std::size_t end = acceptEncoding.find(',', at);
        if (end == std::string::npos) end = acceptEncoding.size();
        const std::string item = acceptEncoding.substr(at, end - at);
        at = end + 1;
        const std::size_t semicolon = item.find(';');
        std::string coding = item.substr(0, semicolon);
        coding.erase(0, coding.find_first_not_of(" \t"));
        coding.erase(coding.find_last_not_of(" \t") + 1);
        int verdict = 1;
        if (semicolon != std::string::npos) {
            // "q=0", "q=0.0", "q=0.000": refused; any other q-value accepts.
            std::string q = item.substr(semicolon + 1);
            q.erase(std::remove_if(q.begin(), q.end(), [](char c) { return c == ' ' || c == '\t'; }), q.end());
            if (strncasecmp(q.c_str(), "q=", 2) == 0 && q.find_first_not_of("0.", 2) == std::string::npos)
                verdict = 0;
        }
        if (strcasecmp(coding.c_str(), "gzip") == 0 || strcasecmp(coding.c_str(), "x-gzip") == 0)
            gzip = std::max(gzip, verdict);
        else if (coding == "*")
            any = verdict;
    }
    return gzip >= 0 ? gzip == 1 : any == 1;
}

} // namespace pelmora::server
