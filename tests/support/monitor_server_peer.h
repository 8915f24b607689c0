#pragma once
// A scripted monitor server on 127.0.0.1:25876 for tests.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/loopback_peer.h"

// (slot, command) per connection; an empty reply closes the connection instead.
using Script = std::vector<std::pair<std::string, std::string>>;

// A monitor server that answers each connection with the next (slot, command)
// of its script and keeps every record it receives.
class MonitorServer {
public:
    explicit MonitorServer(Script script);
    // The records received so far, once at least `count` have arrived (or
    // after a few seconds): the last one may still be on its way.
    std::vector<std::string> records(size_t count = 0);
    // Every record, once the server has stopped and taken in the last one.
    std::vector<std::string> recordsWhenStopped();

private:
    void serve(PeerConnection& peer);
    std::mutex mutex_;
    Script script_;
    size_t next_ = 0;
    std::vector<std::string> records_;
    LoopbackServer server_;
};
