#pragma once
// A scripted TCP peer on 127.0.0.1 for tests and fuzz targets: it accepts
// connections on its own thread and hands each to the handler, one after
// another.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace pelmora {

class PeerConnection {
public:
    explicit PeerConnection(long long socket) : socket_(socket) {}
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;
    // All of bytes at once, or with dripMs one byte at a time, each after
    // that pause; false once the client has gone.
    bool send(const std::string& bytes, int dripMs = 0);
    // Up to max bytes, whatever arrives first; empty when the client closed
    // or nothing came for 15 s.
    std::string receiveSome(size_t max = 65536);
    // Waits up to ms for the client to close; true when it did.
    bool goneWithin(int ms);
    // Exactly count bytes, or fewer if the client closes first.
    std::string receiveExactly(size_t count);
    // An HTTP request head, up to and including the blank line.
    std::string receiveRequestHead();
    // Closes at once with a reset instead of an orderly shutdown.
    void reset();

private:
    long long socket_;
};

class LoopbackServer {
public:
    using Handler = std::function<void(PeerConnection&)>;
    // port 0 picks a free port; a port that is taken throws.
    LoopbackServer(int port, Handler handler);
    ~LoopbackServer();
    int port() const { return port_; }
    // Stops accepting and waits for the connection in hand to be served.
    void stop();
    int connections() const { return accepted_; }

private:
    long long listener_;
    int port_;
    Handler handler_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A port on which nothing listens: connecting to it is refused.
int refusingPort();

// A listening socket on 127.0.0.1 at port (0: any free one, and port is set
// to it); throws when the port is taken. The tools' peers listen with it too.
long long openLoopbackListener(int& port);

} // namespace pelmora
