// The HTTP/1.1 answer reader. Lines may end in CR LF or a bare LF.
#include "platform/posix/http_answer.h"

#include <cstring>

namespace pelmora {

namespace {
using Phase = HttpAnswer::Phase;
constexpr unsigned long long kLargestLength = 1ull << 60;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWord(const char* text, size_t length, const char* word)
{
    if (std::strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (lower(text[i]) != word[i]) return false;
    return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// A span of text with the spaces around it dropped.
struct Span {
    const char* text;
    size_t length;
};

Span trimmed(const char* text, size_t length)
{
    while (length > 0 && isSpace(*text)) ++text, --length;
    while (length > 0 && (isSpace(text[length - 1]) || text[length - 1] == '\r')) --length;
    return {text, length};
}

bool decimalValue(Span span, unsigned long long* value)
{
    if (span.length == 0) return false;
    unsigned long long result = 0;
    for (size_t i = 0; i < span.length; ++i) {
        const char c = span.text[i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned>(c - '0');
        if (result > kLargestLength) return false;
    }
    *value = result;
    return true;
}

// The chunk size at the start of a line; extensions after it are ignored.
bool chunkSize(Span line, unsigned long long* value)
{
    unsigned long long result = 0;
    size_t i = 0;
    for (; i < line.length; ++i) {
        const char c = lower(line.text[i]);
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else break;
        result = result * 16 + static_cast<unsigned>(digit);
        if (result > kLargestLength) return false;
    }
    if (i == 0) return false;
    const Span rest = trimmed(line.text + i, line.length - i);
    if (rest.length > 0 && rest.text[0] != ';') return false;
    *value = result;
    return true;
}

HttpAnswerState set(HttpAnswer& answer, HttpAnswerState state)
{
    answer.state = state;
    return state;
}

// The head is in text, blank line included: the status and the body's framing.
HttpAnswerState takeHead(HttpAnswer& answer, const HttpAnswerSink& sink)
{
    const char* const text = answer.text;
    const size_t length = answer.length;
    if (length < 5 || std::memcmp(text, "HTTP/", 5) != 0) return set(answer, HttpAnswerState::Malformed);
    // The status: past the first space and any more, three digits.
    size_t i = 0;
    while (i < length && text[i] != ' ') ++i;
    while (i < length && text[i] == ' ') ++i;
    if (length - i < 4) return set(answer, HttpAnswerState::Malformed);
    int status = 0;
    for (size_t k = i; k < i + 3; ++k) {
        if (text[k] < '0' || text[k] > '9') return set(answer, HttpAnswerState::Malformed);
        status = status * 10 + (text[k] - '0');
    }
    if (text[i + 3] != ' ' && text[i + 3] != '\r' && text[i + 3] != '\n')
        return set(answer, HttpAnswerState::Malformed);

    bool chunked = false, otherCoding = false, sized = false;
    unsigned long long size = 0;
    const char* line = static_cast<const char*>(std::memchr(text, '\n', length)) + 1;
    const char* const end = text + length;
    while (line < end) {
        const char* newline = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<size_t>(newline - line)));
        if (colon && !isSpace(line[0])) {
            const Span name = {line, static_cast<size_t>(colon - line)};
            const Span value = trimmed(colon + 1, static_cast<size_t>(newline - colon - 1));
            if (sameWord(name.text, name.length, "transfer-encoding")) {
                // Only the last coding frames the body.
                size_t last = value.length;
                while (last > 0 && value.text[last - 1] != ',') --last;
                const Span coding = trimmed(value.text + last, value.length - last);
                chunked = sameWord(coding.text, coding.length, "chunked");
                otherCoding = !chunked;
            } else if (sameWord(name.text, name.length, "content-length")) {
                unsigned long long value64;
                if (!decimalValue(value, &value64) || (sized && value64 != size))
                    return set(answer, HttpAnswerState::Malformed);
                size = value64;
                sized = true;
            }
        }
        line = newline + 1;
    }

    answer.length = 0;
    if (status >= 100 && status < 200) return HttpAnswerState::Reading; // interim: the real head follows
    answer.status = status;
    if (!sink.onHead(sink.context, status)) return set(answer, HttpAnswerState::Stopped);
    if (status == 204 || status == 304) {
        answer.phase = Phase::Done;
    } else if (chunked) {
        answer.phase = Phase::ChunkSize;
    } else if (otherCoding || !sized) {
        answer.phase = Phase::UntilClose;
    } else {
        answer.remaining = size;
        answer.phase = size == 0 ? Phase::Done : Phase::Body;
    }
    return set(answer, answer.phase == Phase::Done ? HttpAnswerState::Complete : HttpAnswerState::Reading);
}

// Gathers the head from data[at..], consuming up to its blank line.
size_t gatherHead(HttpAnswer& answer, const char* data, size_t length, bool* complete)
{
    const size_t before = answer.length;
    size_t take = length;
    if (take > HttpAnswer::kHeadCapacity - before) take = HttpAnswer::kHeadCapacity - before;
    std::memcpy(answer.text + before, data, take);
    // The blank line may straddle the bytes held and the new ones.
    for (size_t i = before > 2 ? before - 2 : 0; i < before + take; ++i) {
        if (answer.text[i] != '\n') continue;
        const bool blank = (i >= 1 && answer.text[i - 1] == '\n') ||
                           (i >= 2 && answer.text[i - 1] == '\r' && answer.text[i - 2] == '\n');
        if (blank) {
            answer.length = i + 1;
            *complete = true;
            return i + 1 - before;
        }
    }
    answer.length = before + take;
    *complete = false;
    return take;
}

// Gathers one line into text; true when it is whole (its LF consumed, the
// CR LF dropped). A line past its capacity makes the answer malformed.
bool gatherLine(HttpAnswer& answer, const char* data, size_t length, size_t* used)
{
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', length));
    const size_t take = newline ? static_cast<size_t>(newline - data) : length;
    if (answer.length + take > HttpAnswer::kLineCapacity) {
        answer.state = HttpAnswerState::Malformed;
        *used = length;
        return false;
    }
    std::memcpy(answer.text + answer.length, data, take);
    answer.length += take;
    *used = newline ? take + 1 : take;
    if (!newline) return false;
    if (answer.length > 0 && answer.text[answer.length - 1] == '\r') --answer.length;
    return true;
}

bool deliver(HttpAnswer& answer, const char* data, size_t length, const HttpAnswerSink& sink)
{
    if (length == 0 || sink.onBody(sink.context, data, length)) return true;
    answer.state = HttpAnswerState::Stopped;
    return false;
}
} // namespace

HttpAnswerState feedHttpAnswer(HttpAnswer& answer, const char* data, size_t length, const HttpAnswerSink& sink)
{
    size_t at = 0;
    while (at < length && answer.state == HttpAnswerState::Reading) {
        const char* const here = data + at;
        const size_t left = length - at;
        size_t used = 0;
        switch (answer.phase) {
        case Phase::Head: {
            bool complete = false;
            used = gatherHead(answer, here, left, &complete);
            if (complete) takeHead(answer, sink);
            else if (answer.length == HttpAnswer::kHeadCapacity) answer.state = HttpAnswerState::Malformed;
            break;
        }
        case Phase::Body:
        case Phase::ChunkData:
            used = left < answer.remaining ? left : static_cast<size_t>(answer.remaining);
            answer.remaining -= used;
            if (!deliver(answer, here, used, sink)) break;
            if (answer.remaining == 0) {
                if (answer.phase == Phase::Body) {
                    answer.phase = Phase::Done;
                    answer.state = HttpAnswerState::Complete;
                } else {
                    answer.phase = Phase::ChunkEnd;
                }
            }
            break;
        case Phase::UntilClose:
            used = left;
            deliver(answer, here, used, sink);
            break;
        case Phase::ChunkSize:
        case Phase::ChunkEnd:
        case Phase::Trailer: {
            if (!gatherLine(answer, here, left, &used)) break;
            const Span line = {answer.text, answer.length};
            answer.length = 0;
            if (answer.phase == Phase::ChunkSize) {
                unsigned long long size;
                if (!chunkSize(line, &size)) answer.state = HttpAnswerState::Malformed;
                else if (size == 0) answer.phase = Phase::Trailer;
                else {
                    answer.remaining = size;
                    answer.phase = Phase::ChunkData;
                }
            } else if (answer.phase == Phase::ChunkEnd) {
                if (line.length != 0) answer.state = HttpAnswerState::Malformed;
                else answer.phase = Phase::ChunkSize;
            } else if (line.length == 0) {
                answer.phase = Phase::Done;
                answer.state = HttpAnswerState::Complete;
            }
            break;
        }
        case Phase::Done:
            answer.state = HttpAnswerState::Complete;
            break;
        }
        at += used;
    }
    return answer.state;
}

HttpAnswerState endHttpAnswer(HttpAnswer& answer)
{
    if (answer.state != HttpAnswerState::Reading) return answer.state;
    return set(answer, answer.phase == Phase::UntilClose ? HttpAnswerState::Complete : HttpAnswerState::Malformed);
}

} // namespace pelmora
