// simulated-v8-client: stands in for a Folding@home client of
// version 8 on 127.0.0.1, for pelmora-bridge's tests and the demo. It serves
// ws://127.0.0.1:PORT/api/websocket: the whole state first, then an update
// every STEP milliseconds: the running unit's progress moving, a "ping" now
// and then, a pause and its end, the unit finishing (upload, the next unit
// starting, the finished one removed, a new one queued), and, every
// RESTART_AFTER finished units, a restart (the connection and the listener
// closed for a moment, then a fresh state). Another group runs a unit of
// its own throughout.
//
//   simulated-v8-client [--port P] [--step MS] [--progress-step PERCENT]
//                               [--restart-after UNITS] [--bad]
//
// Prints "listening on 127.0.0.1:P", "connection N" and every message the
// bridge sends ("received TEXT"). --bad: the first four connections each
// get, after the state, something a client should never send: a malformed
// message, an update for a unit that is not there, a 2 MiB message, silence.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;

// A unit of the default group, k = 0, 1, 2, ...: the first three with
// fixed times (the second's deadline runs into the next year).
Json assignedUnit(int k, double progress)
{
    static const char* const kTimes[] = {"2025-01-05T08:40:03Z", "2025-12-30T22:15:00Z", "2026-02-27T23:59:59Z"};
    static const long kDeadlines[] = {345600, 259200, 86400};
    char time[32];
    std::snprintf(time, sizeof time, "2026-03-%02dT12:00:00Z", 1 + k % 28);
    const bool even = k % 2 == 0;
    Json unit = {{"group", ""}, {"number", 41 + k}, {"cpus", 13}, {"gpus", Json::array()}, {"state", "RUN"},
                 {"paused", false}, {"id", "unit-id-" + std::to_string(k)}, {"progress", 0},
                 {"start_time", "2025-01-05T10:02:15Z"}, {"run_time", 5120}, {"wu_progress", progress},
                 {"eta", "2h 41m"}, {"ppd", 98211}};
    unit["assignment"] = {{"time", k < 3 ? kTimes[k] : time}, {"ws", "ws1.example.org"},
                          {"project", even ? 18213 : 18401}, {"deadline", k < 3 ? kDeadlines[k] : 172800},
                          {"timeout", 86400}, {"credit", even ? 9210 : 12000.5}, {"cpus", 13},
                          {"core", {{"type", even ? "0xa8" : "0xa9"}}}};
    unit["wu"] = {{"time", unit["assignment"]["time"]}, {"cs", {"cs1.example.org"}}, {"run", 412 + k},
                  {"clone", 7}, {"gen", 19 + k}};
    return unit;
}

Json queuedUnit(int k)
{
    return {{"group", ""}, {"number", 41 + k}, {"cpus", 0}, {"gpus", Json::array()}, {"state", "ASSIGN"}};
}

struct Simulation {
    int finished = 0;        // units of the default group finished so far
    double progress = 0.453; // the running unit's
    Json state;

    Simulation()
    {
        state = {{"info", {{"version", "8.4.9"}, {"os", "linux"}, {"cpus", 16}, {"mach_name", "sim"}}},
                 {"config", {{"user", "Anonymous"}, {"team", 0}}},
                 {"groups", {{"", {{"config", {{"paused", false}, {"finish", false}}}}},
                             {"gpu", {{"config", {{"paused", false}, {"finish", false}}}}}}}};
        Json other = assignedUnit(0, 0.2);
        other["group"] = "gpu";
        other["id"] = "gpu-unit";
        other["assignment"]["project"] = 17000;
        other["wu"]["run"] = 1;
        state["units"] = {other, assignedUnit(0, progress), queuedUnit(1)};
        state["units"][2]["state"] = "DOWNLOAD";
    }
    // The default group's running unit is always at index 1.
};

struct Connection {
    websocket::stream<tcp::socket> ws;
    explicit Connection(tcp::socket socket) : ws(std::move(socket)) {}

    bool send(const std::string& text)
    {
        beast::error_code error;
        ws.text(true);
        ws.write(asio::buffer(text), error);
        return !error;
    }
    // Everything the bridge has sent by now.
    bool drain()
    {
        beast::error_code error;
        while (ws.next_layer().available(error) > 0 && !error) {
            beast::flat_buffer buffer;
            ws.read(buffer, error);
            if (error) return false;
            std::printf("received %s\n", beast::buffers_to_string(buffer.data()).c_str());
            std::fflush(stdout);
        }
        return !error;
    }
};

// Sends one update, applying it to the simulation's own state first.
bool update(Connection& link, Simulation& sim, const Json& change, int stepMs)
{
    Json* at = &sim.state;
    for (size_t i = 0; i + 2 < change.size(); ++i) at = change[i].is_string() ? &(*at)[change[i].get<std::string>()]
                                                                               : &(*at)[change[i].get<size_t>()];
    const Json& key = change[change.size() - 2];
    const Json& value = change.back();
    if (key.is_string()) {
        if (value.is_null())
            at->erase(key.get<std::string>());
        else
            (*at)[key.get<std::string>()] = value;
    } else if (value.is_null()) {
        at->erase(at->begin() + key.get<long>());
    } else if (key.get<size_t>() == at->size()) {
        at->push_back(value);
    } else {
        (*at)[key.get<size_t>()] = value;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    return link.drain() && link.send(change.dump());
}

// The day of a client: until the connection ends or a restart is due.
bool serve(Connection& link, Simulation& sim, int stepMs, double progressStep, int restartAfter)
{
    int messages = 0;
    const int restartAt = restartAfter > 0 ? (sim.finished / restartAfter + 1) * restartAfter : -1;
    for (;;) {
        if (++messages % 7 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
            if (!link.drain() || !link.send("\"ping\"")) return false;
        }
        if (messages % 11 == 0) {
            // A pause and its end.
            if (!update(link, sim, {"groups", "", "config", "paused", true}, stepMs) ||
                !update(link, sim, {"units", 1, "pause_reason", "Paused"}, stepMs) ||
                !update(link, sim, {"units", 1, "pause_reason", nullptr}, stepMs) ||
                !update(link, sim, {"groups", "", "config", "paused", false}, stepMs))
                return false;
        }
        sim.progress += progressStep / 100.0;
        if (sim.progress < 1.0) {
            if (!update(link, sim, {"units", 1, "wu_progress", std::round(sim.progress * 1000) / 1000.0}, stepMs))
                return false;
            continue;
        }
        // The unit ends: uploaded, the queued one starts, the finished one
        // goes (the list moves down), a new one is queued.
        const int next = ++sim.finished;
        sim.progress = 0;
        Json started = assignedUnit(next, 0);
        if (!update(link, sim, {"units", 1, "wu_progress", 1.0}, stepMs) ||
            !update(link, sim, {"units", 1, "state", "UPLOAD"}, stepMs) ||
            !update(link, sim, {"units", 2, "id", started["id"]}, stepMs) ||
            !update(link, sim, {"units", 2, "assignment", started["assignment"]}, stepMs) ||
            !update(link, sim, {"units", 2, "wu", started["wu"]}, stepMs) ||
            !update(link, sim, {"units", 2, "wu_progress", 0}, stepMs) ||
            !update(link, sim, {"units", 2, "state", "RUN"}, stepMs) ||
            !update(link, sim, {"units", 1, "state", "DONE"}, stepMs) ||
            !update(link, sim, {"units", 1, "result", "credited"}, stepMs) ||
            !update(link, sim, {"units", 1, nullptr}, stepMs) ||
            !update(link, sim, {"units", 2, queuedUnit(next + 1)}, stepMs) ||
            !update(link, sim, {"units", 2, "state", "DOWNLOAD"}, stepMs))
            return false;
        if (sim.finished == restartAt) return true;
    }
}

void badInput(Connection& link, int connection)
{
    switch (connection) {
    case 1: link.send("{\"units\": [ oops"); break;
    case 2: link.send(R"(["units",7,"wu_progress",0.5])"); break;
    case 3: link.send("\"" + std::string(2 << 20, 'x') + "\""); break;
    case 4: std::this_thread::sleep_for(std::chrono::seconds(40)); break;
    }
    // Whatever the bridge makes of it, this connection ends here.
}
} // namespace

int main(int argc, char** argv)
{
    int port = 0, stepMs = 1000, restartAfter = 2;
    double progressStep = 10;
    bool bad = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--bad") {
            bad = true;
            continue;
        }
        if (option == "--port") port = std::atoi(value);
        else if (option == "--step") stepMs = std::atoi(value);
        else if (option == "--progress-step") progressStep = std::atof(value);
        else if (option == "--restart-after") restartAfter = std::atoi(value);
        else {
            std::fprintf(stderr, "usage: %s [--port P] [--step MS] [--progress-step PERCENT] [--restart-after UNITS] [--bad]\n", argv[0]);
            return 1;
        }
        ++i;
    }
    asio::io_context io;
    Simulation sim;
    const tcp::endpoint where(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    int connection = 0;
    for (bool announced = false;;) {
        tcp::acceptor acceptor(io);
        beast::error_code error;
        acceptor.open(where.protocol(), error);
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
        acceptor.bind(tcp::endpoint(where.address(), static_cast<unsigned short>(port)), error);
        if (!error) acceptor.listen(8, error);
        if (error) {
            std::fprintf(stderr, "simulated v8 client: cannot listen: %s\n", error.message().c_str());
            return 1;
        }
        port = acceptor.local_endpoint().port();
        if (!announced) std::printf("listening on 127.0.0.1:%d\n", port);
        announced = true;
        std::fflush(stdout);
        for (;;) {
            tcp::socket socket(io);
            acceptor.accept(socket, error);
            if (error) continue;
            Connection link(std::move(socket));
            link.ws.accept(error);
            if (error) continue;
            std::printf("connection %d\n", ++connection);
            std::fflush(stdout);
            if (!link.send(sim.state.dump())) continue;
            if (bad && connection <= 4) {
                badInput(link, connection);
                continue;
            }
            if (serve(link, sim, stepMs, progressStep, restartAfter)) break; // a restart
        }
        // Down for a moment, then up again with a fresh state.
        std::printf("restart\n");
        std::fflush(stdout);
        acceptor.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
}
