// The HTTP answer reader on Linux: each answer is fed whole, one byte at a
// time and seven at a time, and each way must give the same status, body and
// outcome. (The stats-site test reads plain answers, and the sink's stops
// for a 404 and past the body cap, through a real socket.)
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/posix/http_answer.h"

namespace pelmora {

namespace {

struct Outcome {
    HttpAnswerState state = HttpAnswerState::Reading;
    int status = 0;
    std::string body;
};

Outcome read(const std::string& answer, size_t piece, bool closeAfter)
{
    Outcome outcome;
    const HttpAnswerSink sink = {&outcome,
                                 [](void* context, int status) {
                                     static_cast<Outcome*>(context)->status = status;
                                     return true;
                                 },
                                 [](void* context, const char* data, size_t length) {
                                     static_cast<Outcome*>(context)->body.append(data, length);
                                     return true;
                                 }};
    auto reader = std::make_unique<HttpAnswer>();
    for (size_t at = 0; at < answer.size() && outcome.state == HttpAnswerState::Reading; at += piece)
        outcome.state = feedHttpAnswer(*reader, answer.data() + at, std::min(piece, answer.size() - at), sink);
    if (closeAfter) outcome.state = endHttpAnswer(*reader);
    return outcome;
}

constexpr auto Complete = HttpAnswerState::Complete;
constexpr auto Malformed = HttpAnswerState::Malformed;
constexpr auto Reading = HttpAnswerState::Reading;

TEST(HttpAnswer, FramingAndOutcomes)
{
    const struct {
        const char* name;
        std::string answer;
        bool closeAfter;
        HttpAnswerState state;
        int status;
        std::string body;
    } cases[] = {
        {"sized body, bytes after it ignored", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false,
         Complete, 200, "hello"},
        {"header names in any case", "HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh:   3  \r\n\r\nabcdef", false, Complete, 200,
         "abc"},
        {"zero length", "HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n", false, Complete, 500, ""},
        {"chunks, extension and trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\nA\r\n 123456789\r\n0\r\nT: 1\r\n\r\n",
         false, Complete, 200, "hello 123456789"},
        {"chunked is the last coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         false, Complete, 200, "abc"},
        {"chunks win over a length",
         "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", false,
         Complete, 200, "ab"},
        {"another last coding runs to the close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n3\r\nab",
         true, Complete, 200, "3\r\nab"},
        {"no framing, still open", "HTTP/1.0 200 OK\r\n\r\nso far", false, Reading, 200, "so far"},
        {"interim heads passed over",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Hints\r\nLink: x\r\n\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 1\r\n\r\nz",
         false, Complete, 404, "z"},
        {"no body after 204", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", false, Complete, 204, ""},
        {"bare LF lines", "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n1\nx\n0\n\n", false, Complete, 200, "x"},
        {"status after several spaces", "HTTP/1.1   201\r\nContent-Length: 1\r\n\r\nq", false, Complete, 201, "q"},
        {"equal lengths twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok", false, Complete,
         200, "ok"},

        {"status not three digits", "HTTP/1.1 2x0 OK\r\n\r\n", false, Malformed, 0, ""},
        {"status of four digits", "HTTP/1.1 2000 OK\r\n\r\n", false, Malformed, 0, ""},
        {"lengths that differ", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok", false,
         Malformed, 0, ""},
        {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, Malformed, 0, ""},
        {"length past 2^60", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", false, Malformed,
         0, ""},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, Malformed, 200,
         ""},
        {"chunk size past 2^60", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", false,
         Malformed, 200, ""},
        {"chunk without its line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n", false,
         Malformed, 200, "ab"},
        {"head cut by the close", "HTTP/1.1 200 OK\r\nContent-Len", true, Malformed, 0, ""},
        {"chunks cut by the close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, Malformed,
         200, "ab"},
        {"head past 16 KiB", "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'h') + "\r\n\r\n", false, Malformed, 0, ""},
        {"chunk line past 1 KiB",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" + std::string(2000, 'e') + "\r\nx\r\n0\r\n\r\n",
         false, Malformed, 200, ""},
    };
    for (const auto& c : cases) {
        for (size_t piece : {c.answer.size(), size_t{1}, size_t{7}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            const Outcome outcome = read(c.answer, piece, c.closeAfter);
            EXPECT_EQ(outcome.state, c.state);
            EXPECT_EQ(outcome.status, c.status);
            EXPECT_EQ(outcome.body, c.body);
        }
    }
}

} // namespace

} // namespace pelmora
