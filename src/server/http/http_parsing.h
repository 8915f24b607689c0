// Reading one HTTP request with Boost.Beast's parser: the limits it
// enforces while reading, the checks once the head is in, and the request
// the handlers see. The listener and the fuzz target share these.
#pragma once

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

#include "server/http/http_request.h"

namespace pelmora::server {

constexpr std::size_t kLongestRequestLine = 8 * 1024;
constexpr std::size_t kLongestHeaderLine = 8 * 1024;
constexpr std::size_t kMostHeaderLines = 100;
constexpr std::size_t kLargestHead = 16 * 1024;
// The head and whatever came with it in the same reads; chunk lines and
// trailers must fit in it too.
constexpr std::size_t kReadBufferLimit = kLargestHead + 16 * 1024;

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Head and body limits on a new parser.
void limitParser(RequestParser& parser, std::size_t largestBody);

// With the head in: 414 for a request line over its limit, 431 for a header
// line over its limit or too many of them, else 0.
int headOverLimit(const RequestParser& parser);

// A head that ran over kLargestHead before it ended, SEEN as read so far:
// 414 while it was still the request line, else 431.
int headRunOver(const char* seen, std::size_t size);

// The parsed message as the handlers see it (its body moved out); false
// for a method or a target form the server does not take (400).
bool toRequest(RequestParser::value_type& message, const std::string& peer, HttpRequest& req);

// Whether an Accept-Encoding value lets the answer be gzip: "gzip" (or
// "x-gzip", or "*" when gzip is not named) with a q-value above 0.
bool acceptsGzip(const std::string& acceptEncoding);

} // namespace pelmora::server
