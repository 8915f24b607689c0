// simulated-v7-client: stands in for a Folding@home client of
// version 7 on 127.0.0.1 (its text API), for pelmora-bridge's tests. One
// connection at a time: the greeting and prompt, "auth" when a password is
// set, "queue-info", "updates add|clear" ($queue-info, $heartbeat), "exit".
// Every STEP milliseconds the unit running in slot 00 moves on; past 100% it
// ends and the unit waiting in that slot starts, a new one is queued. Slot
// 01 runs a unit of its own throughout.
//
//   simulated-v7-client [--port P] [--step MS] [--progress-step PERCENT]
//                               [--password PW] [--bad]
//
// Prints "listening on 127.0.0.1:P", "connection N" and each command line.
// --bad: the first connection gets a reply that is not PyON inside, the
// second one that never ends.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {
struct Options {
    int port = 0, stepMs = 1000;
    double progressStep = 10;
    std::string password;
    bool bad = false;
};

struct Queue {
    int finished = 0;
    double percent = 45.30;
};

// One queue entry as the client writes it (Python literals included).
std::string entry(const char* id, const char* state, int project, int run, int gen, double percent, const char* slot,
                  const char* assigned, const char* deadline)
{
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\"id\": \"%s\", \"state\": \"%s\", \"error\": \"NO_ERROR\", \"project\": %d, \"run\": %d, "
                  "\"clone\": 7, \"gen\": %d, \"core\": \"%s\", \"unit\": \"0x000000%02d80fccb0260a1b2c3d4e5f607\", "
                  "\"percentdone\": \"%.2f%%\", \"eta\": \"2 hours 41 mins\", \"ppd\": \"98211\", "
                  "\"creditestimate\": \"11050\", \"waitingon\": \"\", \"nextattempt\": \"0.00 secs\", "
                  "\"timeremaining\": \"3.94 days\", \"totalframes\": %d, \"framesdone\": %d, \"assigned\": \"%s\", "
                  "\"timeout\": \"%s\", \"deadline\": \"%s\", \"ws\": \"128.252.203.2\", \"cs\": \"0.0.0.0\", "
                  "\"attempts\": 0, \"slot\": \"%s\", \"tpf\": \"3 mins 12 secs\", \"basecredit\": \"%s\", "
                  "\"idle\": False, \"note\": None}",
                  id, state, project, run, gen, project ? "0xa8" : "unknown", run % 100, percent,
                  project ? 200 : 0, static_cast<int>(percent * 2), assigned, deadline, deadline, slot,
                  project % 2 ? "4410.25" : "9210");
    return text;
}

std::string queueInfo(const Queue& queue)
{
    // The unit of slot 00 numbered k: projects 13000 and 13001 by turns.
    const int k = queue.finished;
    char assigned[32];
    std::snprintf(assigned, sizeof assigned, "2025-%02d-28T23:30:00Z", 1 + k % 12);
    char deadline[32];
    std::snprintf(deadline, sizeof deadline, "%04d-%02d-02T23:30:00Z", 2025 + (k % 12 == 11), 1 + (k + 1) % 12);
    return "[" + entry("00", "RUNNING", 13000 + k % 2, 100 + k, k, queue.percent, "00", assigned, deadline) + ",\n " +
           entry("01", "RUNNING", 17000, 5, 2, 12.5, "01", "2025-01-05T08:40:03Z", "2025-01-09T08:40:03Z") + ",\n " +
           entry("02", "READY", 0, 0, 0, 0, "00", "<invalid>", "<invalid>") + "]";
}

std::string reply(const std::string& name, const std::string& body)
{
    return "\nPyON 1 " + name + "\n" + body + "\n---\n";
}

bool sendAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

// One connection, until the peer leaves.
void serve(int fd, const Options& options, Queue& queue, int connection)
{
    if (!sendAll(fd, "\x1b[H\x1b[2JWelcome to the Folding@home Client command server.\n> ")) return;
    bool authorised = options.password.empty(), followQueue = false, heartbeat = false;
    long beats = 0;
    std::string input;
    for (;;) {
        pollfd wait = {fd, POLLIN, 0};
        const int ready = poll(&wait, 1, options.stepMs);
        if (ready < 0) return;
        if (ready == 0) {
            // The unit of slot 00 moves on.
            queue.percent += options.progressStep;
            if (queue.percent >= 100.0) {
                ++queue.finished;
                queue.percent = 0;
            }
            std::string out;
            if (followQueue) out += reply("units", queueInfo(queue));
            if (heartbeat) out += reply("heartbeat", std::to_string(++beats));
            if (!out.empty() && !sendAll(fd, out)) return;
            continue;
        }
        char chunk[512];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        input.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = input.find('\n')) != std::string::npos;) {
            std::string line = input.substr(0, end);
            input.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::printf("command %s\n", line.rfind("auth ", 0) == 0 ? "auth ..." : line.c_str());
            std::fflush(stdout);
            std::string answer;
            const std::string command = line.substr(0, line.find(' '));
            if (command == "exit" || command == "quit") return;
            if (command == "auth") {
                authorised = line.substr(5) == options.password;
                answer = authorised ? "OK\n" : "FAILED\n";
            } else if (!authorised || (command != "queue-info" && command != "updates")) {
                answer = "ERROR: unknown command or variable '" + command + "'\n";
            } else if (command == "updates") {
                if (line == "updates clear") followQueue = heartbeat = false;
                if (line.find("$queue-info") != std::string::npos) followQueue = true;
                if (line.find("$heartbeat") != std::string::npos) heartbeat = true;
            } else if (options.bad && connection == 1) {
                answer = reply("units", "[{\"id\": \"00\", \"state\": \"RUNNING\", oops]");
            } else if (options.bad && connection == 2) {
                answer = "\nPyON 1 units\n[" + std::string(2 << 20, ' ');
            } else {
                answer = reply("units", queueInfo(queue));
            }
            if (!sendAll(fd, answer + "> ")) return;
        }
        if (input.size() > 65536) return;
    }
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--bad") {
            options.bad = true;
            continue;
        }
        if (option == "--port") options.port = std::atoi(value);
        else if (option == "--step") options.stepMs = std::atoi(value);
        else if (option == "--progress-step") options.progressStep = std::atof(value);
        else if (option == "--password") options.password = value;
        else {
            std::fprintf(stderr, "usage: %s [--port P] [--step MS] [--progress-step PERCENT] [--password PW] [--bad]\n", argv[0]);
            return 1;
        }
        ++i;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("simulated v7 client: listen");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    Queue queue;
    for (int connection = 1;; ++connection) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::printf("connection %d\n", connection);
        std::fflush(stdout);
        serve(fd, options, queue, connection);
        close(fd);
    }
}
