// A team monitor server for tests and the demo, on 127.0.0.1 only. It offers
// each connection a slot, prints every 768-byte record it receives, and
// answers with a command byte: by default 0, or per slot (-c SLOT=BYTE), or
// the next line of a script file (-s FILE), one byte value per line.
//
//   fake-monitor-server [-p PORT] [-c SLOT=BYTE]... [-s FILE] [-n COUNT]
//
// -n ends the server after COUNT connections. Output lines:
//   record <n> slot <offered> bytes <count>: <text up to the first NUL>
//
// -m plays a hostile server instead (for the reliability tests):
//   silent  accepts and never speaks; reads the record, holds the connection
//           until the client closes it
//   drip    one byte a second: the slot, then after the record the command,
//           then zero bytes until the client closes
//   reset   sends the slot, then resets the connection before the record
//   flood   200 KB at once (the slot, then zeros), the record, 200 KB again
// and prints, per connection, how long the client kept it:
//   record <n> slot <offered> bytes <count> held <seconds>: <text>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "loopback_listener.h"
#include "protocol/monitor_protocol.h"

namespace {
constexpr int kRecordBytes = pelmora::protocol::kRecordBytes;
constexpr int kTimeoutMs = 15000;
volatile sig_atomic_t stopping = 0;

void onSignal(int) { stopping = 1; }

// Reads up to count bytes, waiting at most the time-out for each piece.
int readRecord(int fd, char* buffer, int count)
{
    int got = 0;
    while (got < count) {
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, kTimeoutMs) <= 0) break;
        ssize_t n = recv(fd, buffer + got, static_cast<size_t>(count - got), 0);
        if (n <= 0) break;
        got += static_cast<int>(n);
    }
    return got;
}

constexpr int kHoldMs = 60000;
constexpr size_t kFloodBytes = 200 * 1024;

// Waits, bounded, for the client to close its end; what it sends is dropped.
void awaitClose(int fd, int pauseMs = kHoldMs)
{
    char sink[4096];
    pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, pauseMs) > 0 && recv(fd, sink, sizeof sink, 0) > 0) {}
}

void sendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Sends one byte after a second; false once the client has closed.
bool dripByte(int fd, char byte)
{
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) > 0) {
        char sink[4096];
        if (recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) return false;
    }
    return send(fd, &byte, 1, MSG_NOSIGNAL) == 1;
}

// One connection of a hostile server; the record's byte count goes to got.
void playHostile(const std::string& mode, int fd, char slot, char* record, int* got)
{
    if (mode == "silent") {
        *got = readRecord(fd, record, kRecordBytes);
        awaitClose(fd);
    } else if (mode == "drip") {
        if (!dripByte(fd, slot)) return;
        *got = readRecord(fd, record, kRecordBytes);
        for (long i = 0; i < kHoldMs / 1000 && dripByte(fd, 0); ++i) {}
    } else if (mode == "reset") {
        send(fd, &slot, 1, MSG_NOSIGNAL);
        linger abortive = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else if (mode == "flood") {
        std::string flood(kFloodBytes, '\0');
        flood[0] = slot;
        sendAll(fd, flood);
        // The record comes after the client's first receive; the rest of the
        // first flood is still unread, so the record may need the whole wait.
        *got = readRecord(fd, record, kRecordBytes);
        flood[0] = '\0';
        sendAll(fd, flood);
        awaitClose(fd, 15000);
    }
}

void usage()
{
    std::fprintf(stderr, "usage: fake-monitor-server [-p PORT] [-c SLOT=BYTE]... [-s FILE] [-n COUNT]"
                         " [-m silent|drip|reset|flood]\n");
    std::exit(2);
}
} // namespace

int main(int argc, char** argv)
{
    int port = pelmora::protocol::kPort;
    long limit = -1;
    std::map<int, int> perSlot;
    std::vector<int> script;
    std::string mode;
    int opt;
    while ((opt = getopt(argc, argv, "p:c:s:n:m:")) != -1) {
        if (opt == 'p') port = std::atoi(optarg);
        else if (opt == 'm') {
            mode = optarg;
            if (mode != "silent" && mode != "drip" && mode != "reset" && mode != "flood") usage();
        }
        else if (opt == 'n') limit = std::atol(optarg);
        else if (opt == 'c') {
            int slot, byte;
            if (std::sscanf(optarg, "%d=%d", &slot, &byte) != 2) usage();
            perSlot[slot] = byte;
        } else if (opt == 's') {
            FILE* file = std::fopen(optarg, "r");
            if (!file) usage();
            int byte;
            while (std::fscanf(file, "%d", &byte) == 1) script.push_back(byte);
            std::fclose(file);
        } else usage();
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = listenOnLoopback(port, "fake-monitor-server");
    if (listener < 0) return 1;

    size_t scriptAt = 0;
    int nextSlot = 1;
    for (long served = 0; !stopping && served != limit;) {
        const int client = acceptWithin200ms(listener);
        if (client < 0) continue;
        ++served;
        const int offered = nextSlot;
        nextSlot = nextSlot % 127 + 1;
        const char slotByte = static_cast<char>(offered);
        if (!mode.empty()) {
            const auto start = std::chrono::steady_clock::now();
            char record[kRecordBytes + 1] = {};
            int got = 0;
            playHostile(mode, client, slotByte, record, &got);
            const std::chrono::duration<double> held = std::chrono::steady_clock::now() - start;
            std::printf("record %ld slot %d bytes %d held %.1f: %s\n", served, offered, got, held.count(), record);
            std::fflush(stdout);
            close(client);
            continue;
        }
        send(client, &slotByte, 1, MSG_NOSIGNAL);
        char record[kRecordBytes + 1] = {};
        const int got = readRecord(client, record, kRecordBytes);
        const int recordSlot = std::atoi(record);
        int command = 0;
        if (scriptAt < script.size()) command = script[scriptAt++];
        else if (perSlot.count(recordSlot)) command = perSlot[recordSlot];
        else if (perSlot.count(offered) && recordSlot == 0) command = perSlot[offered];
        const char commandByte = static_cast<char>(command);
        if (got == kRecordBytes) send(client, &commandByte, 1, MSG_NOSIGNAL);
        std::printf("record %ld slot %d bytes %d command %d: %s\n", served, offered, got, command, record);
        std::fflush(stdout);
        close(client);
    }
    close(listener);
    return 0;
}
