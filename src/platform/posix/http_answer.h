#pragma once
// Reads an HTTP/1.1 answer as it arrives: the head (interim 1xx heads are
// passed over), then a body framed by Content-Length, by chunks, or by the
// end of the connection. It holds no memory of its own beyond this record,
// and nothing a peer sends can make it read or write past its buffers.
#include <cstddef>

namespace pelmora {

struct HttpAnswerSink {
    void* context;
    // The final head is complete; false stops the answer (nothing more is read).
    bool (*onHead)(void* context, int status);
    // A run of body bytes; false stops the answer.
    bool (*onBody)(void* context, const char* data, size_t length);
};

enum class HttpAnswerState { Reading, Complete, Stopped, Malformed };

struct HttpAnswer {
    enum class Phase { Head, Body, UntilClose, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };
    static constexpr size_t kHeadCapacity = 16384;
    static constexpr size_t kLineCapacity = 1024; // a chunk-size or trailer line

    Phase phase = Phase::Head;
    HttpAnswerState state = HttpAnswerState::Reading;
    int status = 0;
    unsigned long long remaining = 0; // body or chunk bytes still to come
    size_t length = 0;                // bytes held in text
    char text[kHeadCapacity];         // the head, or a chunk-size or trailer line
};

// Takes the next bytes of the answer; returns the state after them.
HttpAnswerState feedHttpAnswer(HttpAnswer& answer, const char* data, size_t length, const HttpAnswerSink& sink);
// The peer closed the connection; returns the final state.
HttpAnswerState endHttpAnswer(HttpAnswer& answer);

} // namespace pelmora
