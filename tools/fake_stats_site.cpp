// A team stats site for tests and the demo, on 127.0.0.1 only. It prints
// each request line and answers every request with one status and body.
//
//   fake-stats-site [-p PORT] [-s "STATUS TEXT"] [-b BODY-FILE] [-n COUNT] [-m stall|endless]
//
// -m plays a hostile site (for the reliability tests): "stall" reads the
// request and never answers, holding the connection until the client closes
// it; "endless" answers 200 with a body that never ends (no length given).
// -p 0 takes any free port; the first line printed names it.
// The default answer is "200 OK" with a short HTML page.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback_listener.h"

namespace {
constexpr int kTimeoutMs = 15000;
volatile sig_atomic_t stopping = 0;

void onSignal(int) { stopping = 1; }

std::string readHead(int fd)
{
    std::string head;
    char c;
    while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, kTimeoutMs) <= 0 || recv(fd, &c, 1, 0) != 1) break;
        head += c;
    }
    return head;
}

// False once the client has gone.
bool sendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Waits, bounded (two minutes), for the client to close its end.
void holdUntilClosed(int fd)
{
    char sink[4096];
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, 120000) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {}
}
} // namespace

int main(int argc, char** argv)
{
    int port = 8088;
    long limit = -1;
    std::string status = "200 OK";
    std::string mode;
    std::string body = "<html><body>Unit received. Thank you for folding.</body></html>\n";
    int opt;
    while ((opt = getopt(argc, argv, "p:s:b:n:m:")) != -1) {
        if (opt == 'p') port = std::atoi(optarg);
        else if (opt == 's') status = optarg;
        else if (opt == 'n') limit = std::atol(optarg);
        else if (opt == 'm' && (std::strcmp(optarg, "stall") == 0 || std::strcmp(optarg, "endless") == 0))
            mode = optarg;
        else if (opt == 'b') {
            FILE* file = std::fopen(optarg, "rb");
            if (!file) {
                std::perror(optarg);
                return 2;
            }
            body.clear();
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) body.append(chunk, n);
            std::fclose(file);
        } else {
            std::fprintf(stderr, "usage: fake-stats-site [-p PORT] [-s STATUS] [-b BODY-FILE] [-n COUNT] [-m stall|endless]\n");
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = listenOnLoopback(port, "fake-stats-site");
    if (listener < 0) return 1;

    for (long served = 0; !stopping && served != limit;) {
        const int client = acceptWithin200ms(listener);
        if (client < 0) continue;
        ++served;
        const std::string head = readHead(client);
        std::printf("request %ld: %s\n", served, head.substr(0, head.find("\r\n")).c_str());
        std::fflush(stdout);
        if (mode == "stall") {
            holdUntilClosed(client);
        } else if (mode == "endless") {
            sendAll(client, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
            const std::string chunk(65536, 'x');
            while (sendAll(client, chunk)) {}
        } else {
            sendAll(client, "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        }
        close(client);
    }
    close(listener);
    return 0;
}
