#include "server/http/http_request.h"

#include <strings.h>

namespace pelmora::server {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decoded(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c; // a stray '%' stays as it is
        }
    }
    return out;
}

const std::string* find(const HttpHeaders& headers, const std::string& name)
{
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return &value;
    return nullptr;
}

} // namespace

std::string HttpRequest::get_param_value(const std::string& key) const
{
    const auto it = params.find(key);
    return it == params.end() ? "" : it->second;
}

bool HttpRequest::has_header(const std::string& name) const { return find(headers, name) != nullptr; }

std::string HttpRequest::get_header_value(const std::string& name) const
{
    const std::string* value = find(headers, name);
    return value ? *value : "";
}

void HttpResponse::set_header(const std::string& name, const std::string& value)
{
    // A value that could end the header line is never sent.
    if (value.find_first_of("\r\n") != std::string::npos) return;
    headers.emplace_back(name, value);
}

std::string HttpResponse::get_header_value(const std::string& name) const
{
    const std::string* value = find(headers, name);
    return value ? *value : "";
}

void HttpResponse::set_content(const std::string& text, const std::string& type)
{
    body = text;
    shared.reset();
    set_header("Content-Type", type);
}

void HttpResponse::set_content(std::string&& text, const std::string& type)
{
    body = std::move(text);
    shared.reset();
    set_header("Content-Type", type);
}

void HttpResponse::set_content(const char* data, std::size_t size, const std::string& type)
{
    body.assign(data, size);
    shared.reset();
    set_header("Content-Type", type);
}

void HttpResponse::set_content(std::shared_ptr<const SharedText> text, const std::string& type)
{
    body.clear();
    shared = std::move(text);
    set_header("Content-Type", type);
}

void HttpResponse::set_redirect(const std::string& url, int code)
{
    status = code;
    set_header("Location", url);
}

void HttpResponse::set_event_stream(EventSource source)
{
    set_header("Content-Type", "text/event-stream");
    events = std::move(source);
}

void parseQueryText(const std::string& text, HttpParams& params)
{
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('&', at), text.size());
        const std::string pair = text.substr(at, end - at);
        if (!pair.empty()) {
            const std::size_t equals = pair.find('=');
            if (equals == std::string::npos)
                params.emplace(decoded(pair), "");
            else
                params.emplace(decoded(pair.substr(0, equals)), decoded(pair.substr(equals + 1)));
        }
        at = end + 1;
    }
}

std::string encodeQueryParam(const std::string& value)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            std::string("-_.!~*'()/").find(c) != std::string::npos) {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

} // namespace pelmora::server
