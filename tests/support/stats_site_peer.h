#pragma once
// A stats site on 127.0.0.1 (a free port) for tests.
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_peer.h"

namespace pelmora {

// An answer's head: the status line, the Content-Length given and Connection: close.
std::string httpHead(const std::string& status, size_t contentLength);

// A stats site that answers every request with the same bytes, sent in
// pieces with a pause before each but the first (cut short when the client
// goes), then closes; it keeps the request heads it saw.
class StatsSite {
public:
    StatsSite(std::vector<std::string> answer, int pauseMs = 0);
    // A whole answer: the status, then the body.
    StatsSite(const std::string& status, const std::string& body) : StatsSite(std::vector<std::string>{httpHead(status, body.size()), body}) {}
    std::string host() const { return "127.0.0.1:" + std::to_string(server_.port()); }
    std::vector<std::string> requests();

private:
    std::vector<std::string> answer_;
    int pauseMs_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    LoopbackServer server_;
};

} // namespace pelmora
