#pragma once
// A scripted monitor server on 127.0.0.1:25876 for tests and fuzz targets.
#include <mutex>
#include <string>
#include <vector>

#include "protocol/monitor_protocol.h"
#include "support/loopback_peer.h"

namespace pelmora {

// One connection of the server: it offers the slot, takes in recordBytes of
// the record (fewer if the client goes first), answers with the command and
// closes, or resets. With dripMs each byte goes alone after that pause.
struct Turn {
    std::string slot, command;
    size_t recordBytes = protocol::kRecordBytes;
    int dripMs = 0;
    bool reset = false;
    std::string play(PeerConnection& peer) const; // what it took in of the record
};
using Script = std::vector<Turn>;

// Plays the script's turns, one a connection, and keeps the records they
// took in; past the script's end it closes at once.
class MonitorServer {
public:
    explicit MonitorServer(Script script);
    // The records, once the server has stopped and taken in the last one.
    std::vector<std::string> recordsWhenStopped();

private:
    std::mutex mutex_;
    Script script_;
    std::vector<std::string> records_;
    LoopbackServer server_;
};

} // namespace pelmora
