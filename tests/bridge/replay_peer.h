#pragma once
// A version 8 client played back to the bridge: a WebSocket server on
// 127.0.0.1 (a free port) that takes one connection and runs a script on it
// in a thread of its own. A barrier sends a ping frame and waits for the
// pong: the bridge answers it only once it reads again, so by then it has
// handled every message before it.
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ReplayStep {
    enum Kind { Text, PingFrame, Barrier, Pause } kind;
    std::string text; // Text: the frame; Barrier: a name for the checks
    int ms = 0;       // Pause
};

class ReplayPeer {
public:
    // atBarrier runs in the peer's thread with the barrier's name, once the
    // bridge has answered it.
    ReplayPeer(std::vector<ReplayStep> script, std::function<void(const std::string&)> atBarrier);
    ~ReplayPeer();
    int port() const;
    // Waits until the script has run and the connection was dropped (as the
    // real client drops it on shutdown: no close frame).
    void finish();
    // Every data message the bridge sent, and the barriers it left unanswered.
    std::vector<std::string> received() const;
    std::vector<std::string> missedBarriers() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
