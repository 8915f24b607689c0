#pragma once
// The tools' listening socket: the tests' own loopback listener, announced on
// stdout as "listening on 127.0.0.1:N" (the scripts wait for that line).
#include <cstdio>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

#include "support/loopback_peer.h"

// The listening socket, or -1 (with the reason on stderr, after name).
inline int listenOnLoopback(int port, const char* name)
{
    try {
        const int listener = static_cast<int>(pelmora::openLoopbackListener(port));
        std::printf("listening on 127.0.0.1:%d\n", port);
        std::fflush(stdout);
        return listener;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", name, error.what());
        return -1;
    }
}

// The next client, or -1 when none came within 200 ms (so that the caller's
// loop sees a stop request in time).
inline int acceptWithin200ms(int listener)
{
    pollfd entry = {listener, POLLIN, 0};
    if (poll(&entry, 1, 200) <= 0) return -1;
    return accept(listener, nullptr, nullptr);
}
