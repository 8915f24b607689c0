#pragma once
// The tools' listening socket: the tests' own loopback listener, announced on
// stdout as "listening on 127.0.0.1:N" (the scripts wait for that line).
#include <cstdio>
#include <stdexcept>

#include "support/loopback_peer.h"

// The listening socket, or -1 (with the reason on stderr, after name).
inline int listenOnLoopback(int port, const char* name)
{
    try {
        const int listener = static_cast<int>(openLoopbackListener(port));
        std::printf("listening on 127.0.0.1:%d\n", port);
        std::fflush(stdout);
        return listener;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", name, error.what());
        return -1;
    }
}
