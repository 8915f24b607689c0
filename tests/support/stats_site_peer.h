#pragma once
// A stats site on 127.0.0.1 (a free port) for tests.
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_peer.h"

// A stats site that answers every request with one canned reply, sent in
// pieces, and keeps the request heads it saw.
class StatsSite {
public:
    StatsSite(std::string status, std::vector<std::string> pieces);
    int port() const { return server_.port(); }
    std::string host() const { return "127.0.0.1:" + std::to_string(port()); }
    std::vector<std::string> requests();

private:
    void serve(PeerConnection& peer);
    std::string status_;
    std::vector<std::string> pieces_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    LoopbackServer server_;
};
