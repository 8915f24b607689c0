// The Linux HTTP answer reader on its own: the input after its first byte is
// an answer, read whole and then in pieces of a size the first byte picks.
// Both readings must agree on the outcome, the status and every body byte,
// and the body can never hold more bytes than the answer.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/posix/http_answer.h"

using namespace pelmora;

namespace {
struct Reading {
    HttpAnswerState state = HttpAnswerState::Reading;
    int status = 0;
    std::string body;
    bool operator!=(const Reading& o) const { return state != o.state || status != o.status || body != o.body; }
};

Reading readAnswer(const char* data, size_t size, size_t piece)
{
    Reading reading;
    const HttpAnswerSink sink = {&reading,
                                 [](void* context, int status) {
                                     static_cast<Reading*>(context)->status = status;
                                     return status != 404; // as the download does
                                 },
                                 [](void* context, const char* bytes, size_t length) {
                                     static_cast<Reading*>(context)->body.append(bytes, length);
                                     return true;
                                 }};
    auto answer = std::make_unique<HttpAnswer>();
    for (size_t at = 0; at < size && reading.state == HttpAnswerState::Reading; at += piece)
        reading.state = feedHttpAnswer(*answer, data + at, size - at < piece ? size - at : piece, sink);
    reading.state = endHttpAnswer(*answer);
    return reading;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const char* answer = reinterpret_cast<const char*>(data) + 1;
    const Reading whole = readAnswer(answer, size - 1, size);
    if (readAnswer(answer, size - 1, 1 + data[0] % 16) != whole || whole.body.size() > size) std::abort();
    return 0;
}
