// What a route handler sees of a request and fills in of its answer,
// whatever carries the bytes: the listener parses, the handlers only read
// these members and set those.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "server/support/shared_text.h"

namespace pelmora::server {

using HttpParams = std::multimap<std::string, std::string>;
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method, path, body;
    std::string remote_addr;
    HttpParams params; // the query's
    HttpParams form;   // an application/x-www-form-urlencoded body's
    HttpHeaders headers;
    std::smatch matches; // the route's groups, over path

    bool has_param(const std::string& key) const { return params.count(key) > 0; }
    std::string get_param_value(const std::string& key) const;
    // Header names compare without case; the first of several.
    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;
};

// What one poll of an event stream gives to send: TEXT, then SHARED from
// byte SHARED_FROM on (a buffer other streams send too, not copied), then AFTER.
struct EventText {
    std::string text;
    std::shared_ptr<const std::string> shared;
    std::size_t sharedFrom = 0;
    std::string after;

    bool empty() const { return text.empty() && !shared && after.empty(); }
};
// One poll of an event stream: false ends it; what it puts in OUT is sent.
using EventSource = std::function<bool(EventText& out)>;

struct HttpResponse {
    int status = 200;
    std::string body;
    std::shared_ptr<const SharedText> shared; // set: the body, sent from this buffer (or its gzip form)
    HttpHeaders headers;
    EventSource events; // set: the answer is an event stream, written as it comes

    void set_header(const std::string& name, const std::string& value);
    std::string get_header_value(const std::string& name) const;
    void set_content(const std::string& text, const std::string& type);
    void set_content(std::string&& text, const std::string& type); // a large answer is not copied
    void set_content(const char* data, std::size_t size, const std::string& type);
    void set_content(std::shared_ptr<const SharedText> text, const std::string& type);
    const std::string& text() const { return shared ? shared->plain() : body; } // the body, either way
    void set_redirect(const std::string& url, int code = 302);
    void set_event_stream(EventSource source);
};

// "a=1&b=x+y&c" into its keys and values, %XX and '+' decoded.
void parseQueryText(const std::string& text, HttpParams& params);
// VALUE for a query: all but letters, digits, "-_.!~*'()" and '/' as %XX.
std::string encodeQueryParam(const std::string& value);

} // namespace pelmora::server
