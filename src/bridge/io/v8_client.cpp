// Version 8: the WebSocket API (Boost.Beast). The first message is the whole
// state, the later ones updates to it; every wait is bounded. The bridge
// sends the client nothing: the client's "ping" message needs no answer, and
// its ping frames are answered by Beast itself.
#include <chrono>
#include <cstdio>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "bridge/client_table.h"
#include "bridge/io/v8_client.h"
#include "bridge/messages.h"

namespace pelmora::bridge {

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Socket = websocket::stream<tcp::socket>;

constexpr int kConnectMs = 5000;
constexpr int kCloseMs = 2000;

// Runs one asynchronous operation for at most ms; a late one is cut off by
// cancel (closing the socket). False, with error set, when it failed or
// timed out.
template <class Start, class Cancel>
bool within(asio::io_context& io, int ms, beast::error_code& error, Start start, Cancel cancel)
{
    bool done = false;
    start([&](beast::error_code result, auto&&...) {
        error = result;
        done = true;
    });
    io.restart();
    io.run_for(std::chrono::milliseconds(ms));
    if (!done) {
        cancel();
        io.restart();
        io.run();
        error = asio::error::timed_out;
    }
    return !error;
}

template <class Start>
bool within(asio::io_context& io, Socket& ws, int ms, beast::error_code& error, Start start)
{
    return within(io, ms, error, start, [&] {
        beast::error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
    });
}

// The error in the words the version 7 side uses too.
std::string inWords(const beast::error_code& error)
{
    if (error == asio::error::host_not_found || error == asio::error::host_not_found_try_again ||
        error == asio::error::no_data)
        return "no address for this name";
    return error.message();
}

// Connects and shakes hands; false, having logged why, when it could not.
bool open(asio::io_context& io, Socket& ws, const Options& options, beast::error_code& error)
{
    tcp::resolver resolver(io);
    tcp::resolver::results_type addresses;
    const std::string host = options.host == "localhost" ? "127.0.0.1" : options.host;
    bool connected = false;
    if (within(
            io, kConnectMs, error,
            [&](auto handler) {
                resolver.async_resolve(host, std::to_string(options.port), tcp::resolver::numeric_service,
                                       [&, handler](beast::error_code result, tcp::resolver::results_type found) mutable {
                                           addresses = std::move(found);
                                           handler(result);
                                       });
            },
            [&] { resolver.cancel(); }) &&
        within(io, ws, kConnectMs, error,
               [&](auto handler) { asio::async_connect(beast::get_lowest_layer(ws), addresses, handler); })) {
        connected = true;
        // The Host header: the address as given, an IPv6 one in brackets.
        if (within(io, ws, kConnectMs, error,
                   [&](auto handler) { ws.async_handshake(clientAddress(options), "/api/websocket", handler); }))
            return true;
    }
    const bool closed = error == beast::http::error::end_of_stream || error == asio::error::eof ||
                        error == asio::error::connection_reset;
    if (connected && closed)
        logClosedAtOnce(options);
    else
        logCannotConnect(options, inWords(error));
    return false;
}

// Reads the next message. Any frame counts as a sign of life, a ping frame
// too: the link is stalled only after silenceMs with no frame at all.
bool readMessage(asio::io_context& io, Socket& ws, int silenceMs, beast::flat_buffer& message,
                 beast::error_code& error)
{
    using Clock = std::chrono::steady_clock;
    auto lastFrame = Clock::now();
    ws.control_callback([&](websocket::frame_type, beast::string_view) { lastFrame = Clock::now(); });
    bool done = false;
    ws.async_read(message, [&](beast::error_code result, std::size_t) {
        error = result;
        done = true;
    });
    while (!done) {
        const auto quietUntil = lastFrame + std::chrono::milliseconds(silenceMs);
        if (Clock::now() >= quietUntil) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws).close(ignored);
            io.restart();
            io.run();
            error = asio::error::timed_out;
            break;
        }
        io.restart();
        io.run_until(quietUntil);
    }
    ws.control_callback();
    return !error;
}

Link lose(const std::string& why)
{
    logLine("version 8 client: " + why + "; reconnecting");
    return Link::Lost;
}
} // namespace

Link runV8(Follower& follower, bool& unitWritten)
{
    const Options& options = follower.options;
    asio::io_context io;
    Socket ws(io);
    beast::error_code error;
    if (!open(io, ws, options, error)) return Link::Unreachable;
    logConnected(options);
    ws.read_message_max(kMaxMessageBytes);

    Json state;
    bool haveState = false;
    for (;;) {
        beast::flat_buffer message;
        if (!readMessage(io, ws, options.silenceMs, message, error))
            return lose(error == asio::error::timed_out
                            ? "no sign of life for " + std::to_string(options.silenceMs / 1000) + " s"
                            : "the link ended (" + error.message() + ")");
        const std::string text = beast::buffers_to_string(message.data());
        Json received = parseMessage(text);
        if (received.is_discarded()) return lose("a malformed message");
        // "ping": the client had nothing to say for 15 s. It wants no answer;
        // a quiet client is the moment to retry a write that failed.
        const bool ping = received.is_string() && received.get_ref<const std::string&>() == "ping";
        if (ping) {
            if (!haveState || !follower.failed) continue;
        } else if (received.is_object()) {
            // The whole state (the first message, or a fresh one).
            state = std::move(received);
            haveState = true;
            if (options.list) {
                std::fputs(v8Table(state).c_str(), stdout);
                within(io, ws, kCloseMs, error, [&](auto handler) { ws.async_close(websocket::close_code::normal, handler); });
                return Link::Done;
            }
            // Said on every connection: the client's groups and GPUs change.
            const std::string missing = missingFromClient(state, options.wanted());
            follower.missing = !missing.empty();
            if (follower.missing) logLine("version 8 client: " + missing);
        } else if (!haveState) {
            return lose("the first message is not the state");
        } else {
            std::string why;
            if (!applyUpdate(state, received, &why)) return lose(why);
        }
        UnitFacts facts;
        const bool found = chooseV8Unit(state, options.wanted(), follower.followed, facts);
        if (!ping) ++follower.statesSeen;
        const bool written = follower.follow(found, facts);
        if (options.once) {
            unitWritten = written;
            within(io, ws, kCloseMs, error, [&](auto handler) { ws.async_close(websocket::close_code::normal, handler); });
            return Link::Done;
        }
    }
}

} // namespace pelmora::bridge
