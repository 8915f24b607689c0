// HTTP GET over a plain socket: the stats site is reached by http:// only,
// so no TLS library is loaded (its set-up alone would outweigh the program).
// The path and query go out as the Windows build's WinHTTP sends them:
// spaces, control bytes (CR and LF among them, so none reaches the head
// raw), DEL and "#<>[\]^`{|} percent-encoded ('#' is data, not a fragment),
// and each byte past ASCII read as the character of the same number, as
// mbstowcs reads it in the C locale, and sent as its two UTF-8 bytes,
// percent-encoded. Error numbers are errno values: EPROTONOSUPPORT for any
// scheme but http, EINVAL for a URL that cannot be split or whose host part
// holds spaces or control bytes, EHOSTUNREACH for a host name that does not
// resolve, EPROTO for an answer that breaks HTTP or ends early, EFBIG past
// the body cap, ETIMEDOUT, and that of a write or close of the file that
// fails (ENOSPC on a full disk), which ends the download and keeps what was
// written.
#include "platform/system.h"
#include "state/constants.h"
#include "platform/posix/http_answer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace pelmora {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kConnectTimeout = std::chrono::milliseconds(kHttpConnectTimeoutMs);
constexpr auto kRequestTimeout = std::chrono::milliseconds(kHttpRequestTimeoutMs);
constexpr size_t kLargestHost = 255;

struct UrlParts {
    std::string host;      // as written in the URL, brackets of an IPv6 literal dropped
    std::string hostField; // the Host header: host and port as written
    std::string port;
    std::string target;    // path and query, never empty
};

void appendPercent(std::string* out, unsigned char c)
{
    static const char kHex[] = "0123456789ABCDEF";
    *out += '%';
    *out += kHex[c >> 4];
    *out += kHex[c & 15];
}

// One byte of the path or query, as it goes on the wire.
void appendEncoded(std::string* out, unsigned char c)
{
    if (c >= 0x80) { // U+0080 to U+00FF in UTF-8
        appendPercent(out, static_cast<unsigned char>(0xC0 | (c >> 6)));
        appendPercent(out, static_cast<unsigned char>(0x80 | (c & 0x3F)));
    } else if (c <= ' ' || c == 0x7f || std::strchr("\"#<>[\\]^`{|}", c)) {
        appendPercent(out, c);
    } else {
        *out += static_cast<char>(c);
    }
}

// Splits http://host[:port][/path][?query]; 0 or an error number.
int splitUrl(const char* url, UrlParts* parts)
{
    const char* colon = std::strstr(url, "://");
    if (!colon) return EINVAL;
    if (colon - url != 4 || strncasecmp(url, "http", 4) != 0) return EPROTONOSUPPORT;
    const char* authority = colon + 3;
    const size_t authorityLength = std::strcspn(authority, "/?#");
    parts->hostField.assign(authority, authorityLength);
    const std::string& field = parts->hostField;
    // The host part goes into the Host header as written.
    for (const char c : field)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return EINVAL;
    size_t portAt = std::string::npos;
    if (!field.empty() && field[0] == '[') {
        const size_t close = field.find(']');
        if (close == std::string::npos) return EINVAL;
        parts->host = field.substr(1, close - 1);
        if (close + 1 < field.size()) {
            if (field[close + 1] != ':') return EINVAL;
            portAt = close + 2;
        }
    } else {
        const size_t portColon = field.find(':');
        parts->host = field.substr(0, portColon);
        if (portColon != std::string::npos) portAt = portColon + 1;
    }
    if (parts->host.empty() || parts->host.size() > kLargestHost ||
        parts->host.find('@') != std::string::npos)
        return EINVAL;
    parts->port = "80";
    if (portAt != std::string::npos && portAt < field.size()) {
        const std::string digits = field.substr(portAt);
        if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return EINVAL;
        const int port = std::stoi(digits);
        if (port < 1 || port > 65535) return EINVAL;
        parts->port = std::to_string(port);
    }
    const char* path = authority + authorityLength;
    parts->target = *path == '/' ? "" : "/";
    for (; *path; ++path) appendEncoded(&parts->target, static_cast<unsigned char>(*path));
    return 0;
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events or the deadline; 0 or an error number.
int awaitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, millisecondsLeft(deadline));
        if (ready > 0) return 0;
        if (ready == 0) return ETIMEDOUT;
        if (errno != EINTR) return errno;
    }
}

// Connects to the first address that answers; the socket, or -1 with *error set.
int connectToHost(const UrlParts& parts, Clock::time_point deadline, int* error)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const int lookup = getaddrinfo(parts.host.c_str(), parts.port.c_str(), &hints, &addresses);
    if (lookup != 0) {
        *error = lookup == EAI_SYSTEM && errno != 0 ? errno : EHOSTUNREACH;
        return -1;
    }
    const Clock::time_point connectBy = std::min(deadline, Clock::now() + kConnectTimeout);
    int fd = -1;
    *error = EHOSTUNREACH;
    for (const addrinfo* address = addresses; address && fd < 0; address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            *error = errno;
            continue;
        }
        int failure = 0;
        if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            failure = errno == EINPROGRESS ? awaitReady(fd, POLLOUT, connectBy) : errno;
            socklen_t length = sizeof failure;
            if (failure == 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
        }
        if (failure != 0) {
            *error = failure;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    return fd;
}

int sendAll(int fd, const std::string& bytes, Clock::time_point deadline)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count >= 0) {
            sent += static_cast<size_t>(count);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int error = awaitReady(fd, POLLOUT, deadline)) return error;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Where the body goes: the file is made once the head is in and is not a 404.
struct Download {
    const char* fileName;
    FILE* output;
    bool notFound;
    bool cannotWrite;
    bool tooLong;
    int writeError;
    long written;
};

bool onHead(void* context, int status)
{
    Download& download = *static_cast<Download*>(context);
    if (status == 404) {
        download.notFound = true;
        return false;
    }
    download.output = std::fopen(download.fileName, "wb");
    download.cannotWrite = !download.output;
    return download.output != nullptr;
}

bool onBody(void* context, const char* data, size_t length)
{
    Download& download = *static_cast<Download*>(context);
    const size_t room = static_cast<size_t>(kMaxBodyBytes - download.written);
    const size_t kept = length < room ? length : room;
    if (std::fwrite(data, 1, kept, download.output) != kept) {
        download.writeError = errno != 0 ? errno : EIO;
        return false;
    }
    download.written += static_cast<long>(kept);
    download.tooLong = kept < length;
    return !download.tooLong;
}

// Reads the answer until it is complete, stopped or broken; 0 or an error number.
int receiveAnswer(int fd, Clock::time_point deadline, const HttpAnswerSink& sink)
{
    HttpAnswer answer;
    char buffer[8192];
    for (;;) {
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        HttpAnswerState state;
        if (count > 0) {
            state = feedHttpAnswer(answer, buffer, static_cast<size_t>(count), sink);
        } else if (count == 0) {
            state = endHttpAnswer(answer);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int error = awaitReady(fd, POLLIN, deadline)) return error;
            continue;
        } else if (errno == EINTR) {
            continue;
        } else {
            return errno;
        }
        if (state == HttpAnswerState::Complete) return 0;
        if (state == HttpAnswerState::Malformed) return EPROTO;
        if (state == HttpAnswerState::Stopped) return 0; // the sink knows why
    }
}
} // namespace

int httpGet(const char* url, const char* fileName)
{
    const Clock::time_point deadline = Clock::now() + kRequestTimeout;
    UrlParts parts;
    if (const int error = splitUrl(url, &parts)) return error;
    int error = 0;
    const int fd = connectToHost(parts, deadline, &error);
    if (fd < 0) return error != 0 ? error : -1;

    const std::string request = "GET " + parts.target + " HTTP/1.1\r\nHost: " + parts.hostField +
                                "\r\nUser-Agent: " + kHttpAgent + "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    Download download = {fileName, nullptr, false, false, false, 0, 0};
    error = sendAll(fd, request, deadline);
    if (error == 0) {
        const HttpAnswerSink sink = {&download, onHead, onBody};
        error = receiveAnswer(fd, deadline, sink);
    }
    close(fd);
    if (download.output && std::fclose(download.output) != 0 && error == 0 && download.writeError == 0)
        download.writeError = errno != 0 ? errno : EIO;

    if (download.notFound) return 404;
    if (download.cannotWrite) return -2;
    if (download.tooLong) return EFBIG;
    if (download.writeError != 0) return download.writeError;
    return error;
}

} // namespace pelmora
