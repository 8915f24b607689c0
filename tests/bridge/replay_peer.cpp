#include "replay_peer.h"

#include <chrono>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
constexpr auto kWait = std::chrono::seconds(10);
} // namespace

struct ReplayPeer::State {
    asio::io_context io;
    tcp::acceptor acceptor{io};
    websocket::stream<tcp::socket> ws{io};
    beast::flat_buffer incoming;
    std::vector<std::string> received, missed;
    int pings = 0, pongs = 0; // pongs come in the order of the pings
    int port = 0; // known before the thread starts
    std::thread thread;

    // Runs the io until done() holds or the wait is over.
    template <class Done>
    bool runUntil(Done done)
    {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.restart();
            io.run_one_until(deadline);
        }
        return done();
    }

    void readNext()
    {
        ws.async_read(incoming, [this](beast::error_code error, std::size_t) {
            if (error) return;
            received.push_back(beast::buffers_to_string(incoming.data()));
            incoming.consume(incoming.size());
            readNext();
        });
    }

    void run(const std::vector<ReplayStep>& script, const std::function<void(const std::string&)>& atBarrier)
    {
        beast::error_code error;
        bool accepted = false;
        acceptor.async_accept(ws.next_layer(), [&](beast::error_code result) { error = result, accepted = true; });
        if (!runUntil([&] { return accepted; }) || error) return;
        accepted = false;
        ws.async_accept([&](beast::error_code result) { error = result, accepted = true; });
        if (!runUntil([&] { return accepted; }) || error) return;
        ws.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::pong) ++pongs;
        });
        readNext();
        // Outlives every step, so that a late handler never writes to a step gone.
        bool done = false;
        const auto finished = [&](beast::error_code, auto&&...) { done = true; };
        for (const ReplayStep& step : script) {
            done = false;
            if (step.kind == ReplayStep::Text || step.kind == ReplayStep::PingFrame) {
                if (step.kind == ReplayStep::Text) {
                    ws.text(true);
                    ws.async_write(asio::buffer(step.text), finished);
                } else {
                    ++pings;
                    ws.async_ping({}, finished);
                }
                if (!runUntil([&] { return done; })) {
                    missed.push_back("a write stuck before " + step.text.substr(0, 60));
                    break;
                }
            } else if (step.kind == ReplayStep::Barrier) {
                const int mine = ++pings;
                ws.async_ping({}, finished);
                // The ping's own completion too: a step starts once the one
                // before it has ended.
                if (!runUntil([&] { return done && pongs >= mine; })) {
                    missed.push_back(step.text);
                    break;
                }
                atBarrier(step.text);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
            }
        }
        // Down without a close frame, as the client goes at shutdown.
        ws.next_layer().close(error);
        io.restart();
        io.run_for(std::chrono::milliseconds(200));
    }
};

ReplayPeer::ReplayPeer(std::vector<ReplayStep> script, std::function<void(const std::string&)> atBarrier)
    : state_(new State)
{
    const tcp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);
    state_->acceptor.open(loopback.protocol());
    state_->acceptor.bind(loopback);
    state_->acceptor.listen(1);
    state_->port = state_->acceptor.local_endpoint().port();
    state_->thread = std::thread([this, script = std::move(script), atBarrier] { state_->run(script, atBarrier); });
}

ReplayPeer::~ReplayPeer() { finish(); }

int ReplayPeer::port() const { return state_->port; }

void ReplayPeer::finish()
{
    if (state_->thread.joinable()) state_->thread.join();
}

std::vector<std::string> ReplayPeer::received() const { return state_->received; }
std::vector<std::string> ReplayPeer::missedBarriers() const { return state_->missed; }
