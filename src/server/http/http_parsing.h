// Reading one HTTP request with Boost.Beast's parser: the limits it
// enforces while reading, the checks once the head is in, and the request
// the handlers see. The listener and the fuzz target share these.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

#include "server/http/http_request.h"
#include "server/support/defaults.h"

namespace pelmora::server {

using defaults::kLargestHead;
using defaults::kLongestHeaderLine;
using defaults::kLongestRequestLine;
using defaults::kMostHeaderLines;
using defaults::kReadBufferLimit;

using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// A head's bytes as they come, looking for a line folded onto the one
// before it (obs-fold: a line break followed by a space or a tab), which
// Beast's parser would join: a proxy in front may read such a head
// otherwise, so it is refused (400). It stops at the head's end.
class FoldScan {
public:
    void restart() { ended_ = false, folded_ = false, run_ = 0; }
    void scan(const char* bytes, std::size_t size);
    bool folded() const { return folded_; }

private:
    int run_ = 0; // line breaks in a row, blank ones between
    bool ended_ = false, folded_ = false;
};

// The listener's read buffer seen through a FoldScan: every byte committed
// to it is scanned. A dynamic buffer as Beast's reads take one.
class ScannedBuffer {
public:
    using const_buffers_type = boost::beast::flat_buffer::const_buffers_type;
    using mutable_buffers_type = boost::beast::flat_buffer::mutable_buffers_type;

    explicit ScannedBuffer(std::size_t limit) : buffer_(limit) {}
    boost::beast::flat_buffer& plain() { return buffer_; }
    // From the next head on, with what is already in the buffer.
    void restart();
    bool folded() const { return scan_.folded(); }

    std::size_t size() const { return buffer_.size(); }
    std::size_t max_size() const { return buffer_.max_size(); }
    std::size_t capacity() const { return buffer_.capacity(); }
    const_buffers_type data() const { return buffer_.data(); }
    mutable_buffers_type prepare(std::size_t n) { return buffer_.prepare(n); }
    void commit(std::size_t n);
    void consume(std::size_t n) { buffer_.consume(n); }

private:
    boost::beast::flat_buffer buffer_;
    FoldScan scan_;
};

// Head and body limits on a new parser.
void limitParser(RequestParser& parser, std::size_t largestBody);

// With the head in: 414 for a request line over its limit, 431 for a header
// line over its limit or too many of them, 400 for a Transfer-Encoding
// other than "chunked" alone, else 0.
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
