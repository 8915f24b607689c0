#pragma once
// A scripted monitor server on 127.0.0.1:25876 for tests.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback_peer.h"

// What the server does with one connection; it gives back what it took in
// of the record.
struct Turn {
    // Offers the slot, takes in the record and answers with the command. An
    // empty slot closes at once; an empty command closes after the record.
    Turn(std::string slot, std::string command);
    // Plays the connection as the function says.
    template <class Play> Turn(Play play) : play(std::move(play)) {}
    std::function<std::string(PeerConnection&)> play;
};
using Script = std::vector<Turn>;

// Plays the script's turns, one a connection, and keeps every record (whole
// or not) it takes in; past the script's end it closes at once.
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
