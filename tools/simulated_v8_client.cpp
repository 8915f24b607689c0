// simulated-v8-client: stands in for a Folding@home client of version 8
// (as 8.5.7 behaves, recorded in tests/bridge/recordings/) on 127.0.0.1, for
// pelmora-bridge's tests and the demo. It serves
// ws://127.0.0.1:PORT/api/websocket: the whole state first, then updates.
// One client second lasts STEP milliseconds.
//
// What it does as the real client does:
// - keep-alive: a ping frame every 25 s; the message "ping" 15 s after the
//   last message to a connection (so never while a unit runs: eta and ppd
//   change every second); a connection that sent nothing for 50 s, not even
//   a pong, gets a last ping frame and is dropped (no close frame);
// - the handshake's "101 HTTP_SWITCHING_PROTOCOLS"; the keys the client
//   sends (info's, a group's failed and lost counts, a unit's delay, wait,
//   retries and pause_reason, the core's and the unit's sha256 and url); a
//   fold's group counts and a unit's scheduling (gpus, paused), a group's
//   CPUs and its units', a group deleted;
// - a unit's life: ASSIGN (one failed try, its 43-character id changing),
//   DOWNLOAD, CORE, RUN, start_time and pid, then assignment and wu, then
//   wu_progress, eta and ppd every second; at the end run_time, start_time
//   and pid to null, UPLOAD (one retry), end_time, result, DONE, removal. The
//   next unit is assigned once the core has stopped;
// - pause: the unit stays RUN with its core stopped (pause_reason, run_time,
//   start_time and pid null); fold starts the core again; finish lets the
//   running unit end, then pauses the group;
// - commands acted on ("state", the deprecated "pause", "unpause" and
//   "finish", "dump", "config": a group no longer named is deleted, its
//   units moved to the default group first); any other is logged as the
//   client logs it;
// - a restart every RESTART_AFTER finished CPU units: every connection
//   dropped without a close frame, the listener closed for a moment, running
//   units back as CORE, then RUN;
// - whole numbers as JSON integers; groups with their configuration keys.
//
// The default group runs a CPU unit (projects 18213, 18401, ...); group
// "gpu" runs a slow unit of its own (project 17000) throughout; --gpu adds a
// GPU unit to the default group (projects 17500, ..., its "gpus" listing
// gpu:01:00:00), as a machine folding on both does; --gpus 2 a second GPU's
// too (projects 17600, ..., gpu:02:00:00), as a rig. Every 11 client seconds
// of the CPU unit a user pauses the default group for 3 s. Time stands
// still while no bridge is connected.
//
//   simulated-v8-client [--port P] [--step MS] [--progress-step PERCENT]
//                       [--restart-after UNITS] [--gpu | --gpus N] [--delete-group-after SECONDS] [--bad]
//
// Prints "listening on 127.0.0.1:P", "connection N", every message a bridge
// sends ("received TEXT") and the warnings the client would log. --bad: the
// first four connections each get, after the state, something a client
// should never send: a malformed message, an update for a unit that is not
// there, a 2 MiB message, silence.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;

constexpr int kPingFrameEvery = 25; // client seconds
constexpr int kPingMessageAfter = 15;
constexpr int kCloseSilentAfter = 50;
constexpr int kPauseEvery = 11, kPauseFor = 3;
constexpr const char* kGpu = "gpu:01:00:00";

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A figure as the client sends it: whole numbers as integers, others to
// three places.
Json figure(double value)
{
    const double rounded = std::round(value * 1000) / 1000;
    if (rounded == std::floor(rounded)) return static_cast<long long>(rounded);
    return rounded;
}

// The client's UTC time text, some seconds after a fixed start.
std::string utc(long long seconds)
{
    const long long start = 1796220000; // 2026-12-02T14:00:00Z
    const time_t when = static_cast<time_t>(start + seconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&when));
    return text;
}

// The assignment and wu of the k-th unit (0, 1, ...) of a lane.
struct Work {
    Json assignment, wu;
};

// A core as the client names it: its type, where it came from, its digest.
Json core(const char* type)
{
    return {{"type", type},
            {"url", std::string("https://cores.example.org/fahcore-") + (type + 2) + "-lin-64bit.tar.bz2"},
            {"sha256", "8fbed54f3e8d2d2ff70beb96b62d44f3f223ef53949d03756cf098fa9e141fda"}};
}

Work cpuWork(int k)
{
    // The first three with fixed times (the second's deadline runs into the next year).
    static const char* const kTimes[] = {"2025-01-05T08:40:03Z", "2025-12-30T22:15:00Z", "2026-02-27T23:59:59Z"};
    static const long kDeadlines[] = {345600, 259200, 86400};
    char time[32];
    std::snprintf(time, sizeof time, "2026-03-%02dT12:00:00Z", 1 + k % 28);
    const bool even = k % 2 == 0;
    Work work;
    work.assignment = {{"time", k < 3 ? kTimes[k] : time}, {"ws", "ws1.example.org"}, {"port", 443},
                       {"project", even ? 18213 : 18401}, {"deadline", k < 3 ? kDeadlines[k] : 172800},
                       {"timeout", 86400}, {"credit", even ? Json(9210) : Json(12000.5)}, {"cpus", 13},
                       {"min_cpus", 1}, {"max_cpus", 64}, {"core", core(even ? "0xa8" : "0xa9")}};
    work.wu = {{"time", work.assignment["time"]}, {"cs", {"cs1.example.org"}}, {"server", 2158905674LL},
               {"run", 412 + k}, {"clone", 7}, {"gen", 19 + k}, {"sha256", "dIDxSobsd3kOS/0IxKOG41aWHO/MqIUYRSegQ1qtY2g="}};
    return work;
}

Work gpuWork(int k)
{
    Work work;
    work.assignment = {{"time", utc(86400LL * k)}, {"ws", "ws2.example.org"}, {"port", 443},
                       {"project", 17500 + k}, {"deadline", 172800}, {"timeout", 86400}, {"credit", 50000},
                       {"gpus", {kGpu}}, {"core", core("0x22")}};
    work.wu = {{"time", work.assignment["time"]}, {"cs", {"cs2.example.org"}}, {"server", 2158905675LL}, {"run", k},
               {"clone", 3}, {"gen", k}, {"sha256", "aW52ZW50ZWQgZm9yIHRoZSBzaW11bGF0ZWQgY2xpZW50"}};
    return work;
}

// A second GPU: projects 17600, ... on gpu:02:00:00.
Work secondGpuWork(int k)
{
    Work work = gpuWork(k);
    work.assignment["project"] = 17600 + k;
    work.assignment["gpus"] = {"gpu:02:00:00"};
    work.wu["clone"] = 4;
    return work;
}

Work otherGroupWork(int k)
{
    Work work = cpuWork(0);
    work.assignment["project"] = 17000 + k;
    work.wu["run"] = 1;
    return work;
}

// One lane of work: a group's CPU or GPU units, one after another.
struct Lane {
    std::string group;
    bool gpu = false;
    double step = 0;            // progress per client second
    std::string gpuId = kGpu;   // a GPU lane's GPU
    Work (*work)(int) = nullptr;
    int made = 0;               // units started so far
    int finished = 0;
};

// Where a unit of a lane is in its life.
struct Unit {
    Lane* lane = nullptr;
    std::string id;
    int k = 0;       // the lane's k-th unit
    int phase = 0;   // see Simulation::advance
    int wait = 0;    // client seconds left in this phase
    double progress = 0;
    long long runTime = 5120;
    bool dump = false;
};

struct Session;

struct Simulation {
    asio::io_context& io;
    Json state;
    std::vector<Lane> lanes;
    std::deque<Unit> units; // in the order of state["units"]
    std::vector<std::shared_ptr<Session>> sessions;
    std::mt19937 random{8};
    long long clock = 0;  // client seconds since start
    int number = 40;      // the client's unit counter
    int cpuFinished = 0, restartAfter = 0;
    long long deleteGroupAt = -1; // as if the user deleted group "gpu" then
    int paused = 0;       // client seconds of the user's pause left
    int pid = 1000;
    std::function<void()> restart;

    explicit Simulation(asio::io_context& context) : io(context) {}

    std::string newId()
    {
        static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        std::string id(43, 'A');
        for (char& c : id) c = kLetters[random() % 64];
        return id;
    }

    // The unit's index in the client's list: units already removed from it
    // (gone, awaiting their erasure here) do not count.
    size_t indexOf(const Unit& unit) const
    {
        size_t index = 0;
        for (const Unit& other : units) {
            if (&other == &unit) return index;
            if (other.phase != 9) ++index;
        }
        return index;
    }

    Json groupConfig(int cpus)
    {
        return {{"on_idle", false}, {"on_battery", true}, {"keep_awake", true}, {"paused", false}, {"finish", false},
                {"beta", false}, {"cuda", true}, {"hip", true}, {"key", 0}, {"cpus", cpus}, {"gpus", Json::object()}};
    }

    void change(const Json& update);                       // applied, then sent to every bridge
    void set(Unit& unit, const std::string& key, const Json& value) { change({"units", indexOf(unit), key, value}); }
    bool groupPaused(const std::string& group) { return state["groups"][group]["config"]["paused"] == true; }
    void tick();
    void advance(Unit& unit);
    void startCore(Unit& unit);
    void stopCore(Unit& unit);
    void assign(Lane& lane);
    void command(const std::string& text);
    void configure(const Json& config);
    void deleteGroup(const std::string& group);
    void pauseGroup(const std::string& group, bool pause);
};

struct Session : std::enable_shared_from_this<Session> {
    Simulation& sim;
    websocket::stream<tcp::socket> ws;
    beast::flat_buffer incoming;
    std::deque<std::string> outgoing;
    bool ready = false, writing = false, open = true, bad = false, closing = false;
    long long lastSent = 0, lastHeard = 0, lastPingFrame = 0;

    Session(Simulation& simulation, tcp::socket socket) : sim(simulation), ws(std::move(socket)) {}

    void start(bool badInput, int connection)
    {
        bad = badInput;
        lastSent = lastHeard = lastPingFrame = sim.clock;
        ws.control_callback([this](websocket::frame_type, beast::string_view) { lastHeard = sim.clock; });
        // The client's own words for 101.
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.reason("HTTP_SWITCHING_PROTOCOLS"); }));
        auto self = shared_from_this();
        ws.async_accept([self, connection](beast::error_code error) {
            if (error) return self->drop();
            say("connection " + std::to_string(connection));
            // The whole state first: it holds every update made meanwhile.
            self->ready = true;
            self->outgoing.clear();
            self->send(self->sim.state.dump());
            if (self->bad) return self->badInput(connection);
            self->read();
        });
    }

    void read()
    {
        ws.async_read(incoming, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return self->drop();
            self->lastHeard = self->sim.clock;
            const std::string text = beast::buffers_to_string(self->incoming.data());
            self->incoming.consume(self->incoming.size());
            say("received " + text);
            self->sim.command(text);
            self->read();
        });
    }

    void send(const std::string& text)
    {
        if (!open || closing) return;
        lastSent = sim.clock;
        outgoing.push_back(text);
        if (ready && !writing) writeNext();
    }

    void writeNext()
    {
        if (outgoing.empty() || !open) {
            writing = false;
            return;
        }
        writing = true;
        ws.text(true);
        ws.async_write(asio::buffer(outgoing.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return self->drop();
            self->outgoing.pop_front();
            self->writeNext();
        });
    }

    // Once a client second: the keep-alive.
    void keepAlive()
    {
        if (!open || bad) return;
        if (closing) return drop(); // a client second after the last ping frame
        if (sim.clock - lastHeard >= kCloseSilentAfter) {
            // A last ping frame, then the TCP connection dropped: no close frame.
            say("dropping a connection silent for " + std::to_string(kCloseSilentAfter) + " s");
            closing = true;
            ws.async_ping({}, [](beast::error_code) {});
            return;
        }
        if (sim.clock - lastPingFrame >= kPingFrameEvery) {
            lastPingFrame = sim.clock;
            ws.async_ping({}, [self = shared_from_this()](beast::error_code error) {
                if (error) self->drop();
            });
        }
        if (sim.clock - lastSent >= kPingMessageAfter) send("\"ping\"");
    }

    // The TCP connection dropped, no close frame (a restart, or a failed link).
    void drop()
    {
        open = false;
        beast::error_code ignored;
        beast::get_lowest_layer(ws).close(ignored);
    }

    void badInput(int connection)
    {
        switch (connection) {
        case 1: send("{\"units\": [ oops"); break;
        case 2: send(R"(["units",7,"wu_progress",0.5])"); break;
        case 3: send("\"" + std::string(2 << 20, 'x') + "\""); break;
        default: break; // silence: not even a ping frame
        }
        // Whatever the bridge makes of it, it is read until it goes.
        read();
    }
};

void Simulation::change(const Json& update)
{
    Json* at = &state;
    for (size_t i = 0; i + 2 < update.size(); ++i)
        at = update[i].is_string() ? &(*at)[update[i].get<std::string>()] : &(*at)[update[i].get<size_t>()];
    const Json& key = update[update.size() - 2];
    const Json& value = update.back();
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
    const std::string text = update.dump();
    for (auto& session : sessions)
        if (!session->bad) session->send(text);
}

void Simulation::assign(Lane& lane)
{
    Unit unit;
    unit.lane = &lane;
    unit.progress = 0;
    unit.runTime = 0;
    unit.k = lane.made++;
    units.push_back(unit);
    // At the list's end: units gone but not yet erased here do not count.
    change({"units", indexOf(units.back()),
            {{"group", lane.group}, {"number", ++number}, {"cpus", lane.gpu ? 1 : 13},
             {"gpus", lane.gpu ? Json::array({lane.gpuId}) : Json::array()}, {"state", "ASSIGN"}}});
    Unit& added = units.back();
    added.id = newId();
    set(added, "id", added.id);
    added.phase = 1;
    added.wait = 1;
}

void Simulation::startCore(Unit& unit)
{
    set(unit, "start_time", utc(clock));
    set(unit, "pid", ++pid);
}

void Simulation::stopCore(Unit& unit)
{
    set(unit, "run_time", unit.runTime);
    set(unit, "start_time", nullptr);
    set(unit, "pid", nullptr);
}

// The phases: 1 ASSIGN failing once, 2 ASSIGN done, 3 DOWNLOAD, 4 CORE,
// 5 RUN, 6 UPLOAD retrying, 7 UPLOAD done, 8 DONE, 9 gone.
void Simulation::advance(Unit& unit)
{
    if (unit.wait > 0 && --unit.wait > 0) return;
    Lane& lane = *unit.lane;
    switch (unit.phase) {
    case 1: // the assignment fails once: a new id, a delay, a retry
        unit.id = newId();
        set(unit, "id", unit.id);
        set(unit, "delay", 2);
        set(unit, "wait", utc(clock + 2));
        set(unit, "retries", 1);
        unit.phase = 2, unit.wait = 2;
        break;
    case 2:
        set(unit, "state", "DOWNLOAD");
        set(unit, "progress", 0.5);
        unit.phase = 3, unit.wait = 1;
        break;
    case 3:
        set(unit, "progress", 1);
        set(unit, "state", "CORE");
        set(unit, "progress", 0);
        unit.phase = 4, unit.wait = 1;
        break;
    case 4: {
        if (groupPaused(lane.group)) break;
        set(unit, "state", "RUN");
        startCore(unit);
        // A new unit learns its assignment and wu only now; one back from a
        // restart has them.
        if (!state["units"][indexOf(unit)].contains("assignment")) {
            const Work work = lane.work(unit.k);
            set(unit, "assignment", work.assignment);
            set(unit, "wu", work.wu);
        }
        set(unit, "wu_progress", figure(unit.progress));
        unit.phase = 5;
        break;
    }
    case 5: {
        if (groupPaused(lane.group) || !state["units"][indexOf(unit)].contains("start_time")) break;
        ++unit.runTime;
        unit.progress = std::min(1.0, unit.progress + lane.step);
        set(unit, "wu_progress", figure(unit.progress));
        const int left = static_cast<int>((1 - unit.progress) / lane.step + 0.999);
        set(unit, "eta", std::to_string(left) + "s");
        set(unit, "ppd", lane.gpu ? 1500000 + left : 98211 + left);
        if (unit.progress < 1) break;
        stopCore(unit);
        set(unit, "state", "UPLOAD");
        set(unit, "delay", 5);
        set(unit, "wait", utc(clock + 5));
        unit.phase = 6, unit.wait = 2;
        // The core's resources are free: the group's next unit is assigned,
        // unless the group was told to finish.
        const Json& config = state["groups"][lane.group]["config"];
        if (config["finish"] == true) {
            change({"groups", lane.group, "config", "paused", true});
            change({"groups", lane.group, "config", "finish", false});
        } else {
            assign(lane);
        }
        break;
    }
    case 6:
        set(unit, "delay", 2);
        set(unit, "wait", utc(clock + 2));
        set(unit, "retries", 1);
        unit.phase = 7, unit.wait = 2;
        break;
    case 7:
        set(unit, "end_time", utc(clock));
        set(unit, "result", unit.dump ? "dumped" : "credited");
        set(unit, "state", "DONE");
        unit.phase = 8, unit.wait = 1;
        break;
    case 8:
        change({"units", indexOf(unit), nullptr});
        unit.phase = 9;
        if (!lane.gpu && lane.group.empty()) ++cpuFinished;
        ++lane.finished;
        break;
    }
}

void Simulation::pauseGroup(const std::string& group, bool pause)
{
    if (!state["groups"].contains(group) || groupPaused(group) == pause) return;
    change({"groups", group, "config", "paused", pause});
    if (!pause) {
        change({"groups", group, "config", "finish", false});
        change({"groups", group, "failed_wus", 0});
        change({"groups", group, "lost_wus", 0});
        change({"groups", group, "failed", ""});
        for (Unit& unit : units)
            if (unit.lane->group == group && unit.phase == 4) {
                set(unit, "gpus", unit.lane->gpu ? Json::array({unit.lane->gpuId}) : Json::array());
                set(unit, "paused", true);
                set(unit, "paused", false);
            }
    }
    for (Unit& unit : units) {
        if (unit.lane->group != group || unit.phase != 5) continue;
        if (pause) {
            set(unit, "pause_reason", "Paused");
            stopCore(unit);
        } else {
            set(unit, "pause_reason", nullptr);
            startCore(unit);
        }
    }
}

void Simulation::command(const std::string& text)
{
    const Json message = Json::parse(text, nullptr, false);
    const std::string cmd = message.is_object() && message.contains("cmd") && message["cmd"].is_string()
                                ? message["cmd"].get<std::string>()
                                : std::string();
    std::vector<std::string> groups;
    if (message.is_object() && message.contains("group") && message["group"].is_string())
        groups.push_back(message["group"].get<std::string>());
    else
        for (auto& entry : state["groups"].items()) groups.push_back(entry.key());
    const std::string wanted = cmd == "state" && message.contains("state") && message["state"].is_string()
                                   ? message["state"].get<std::string>()
                                   : cmd == "unpause" ? "fold" : cmd;
    if ((cmd == "state" || cmd == "pause" || cmd == "unpause" || cmd == "finish") &&
        (wanted == "pause" || wanted == "fold" || wanted == "finish")) {
        for (const std::string& group : groups) {
            if (wanted == "finish") {
                if (state["groups"].contains(group)) change({"groups", group, "config", "finish", true});
            } else {
                pauseGroup(group, wanted == "pause");
            }
        }
        return;
    }
    if (cmd == "config" && message.contains("config") && message["config"].is_object()) {
        configure(message["config"]);
        return;
    }
    if (cmd == "dump" && message.contains("unit")) {
        for (Unit& unit : units)
            if (unit.id == message["unit"] && unit.phase < 8) {
                unit.dump = true;
                if (unit.phase == 5) stopCore(unit);
                set(unit, "state", "DUMP");
                unit.phase = 7, unit.wait = 1;
            }
        return;
    }
    say("warning: Received unsupported remote command '" + (cmd.empty() ? text.substr(0, 200) : cmd) + "'");
}

// A group deleted: its units move to the default group first, as the
// client does it.
void Simulation::deleteGroup(const std::string& group)
{
    if (group.empty() || !state["groups"].contains(group)) return;
    for (Unit& unit : units)
        if (unit.lane->group == group && unit.phase != 9) set(unit, "group", "");
    change({"groups", group, nullptr});
    for (Unit& unit : units)
        if (unit.lane->group == group && unit.phase != 9) {
            set(unit, "cpus", unit.lane->gpu ? Json(1) : state["groups"][""]["config"]["cpus"]);
            set(unit, "paused", false);
        }
    for (Lane& lane : lanes)
        if (lane.group == group) lane.group.clear();
}

// A change of configuration: user, team and the like, and the groups (one
// not named any more is deleted, a new one added, the keys given set).
void Simulation::configure(const Json& config)
{
    for (const char* key : {"user", "team", "passkey", "cause"})
        if (config.contains(key) && state["config"][key] != config[key]) change({"config", key, config[key]});
    if (!config.contains("groups") || !config["groups"].is_object()) return;
    const Json& groups = config["groups"];
    std::vector<std::string> known;
    for (auto& entry : state["groups"].items()) known.push_back(entry.key());
    for (const std::string& group : known)
        if (!groups.contains(group)) deleteGroup(group);
    for (auto& entry : groups.items()) {
        if (!state["groups"].contains(entry.key())) change({"groups", entry.key(), {{"config", groupConfig(0)}}});
        if (!entry.value().is_object()) continue;
        for (auto& setting : entry.value().items())
            if (state["groups"][entry.key()]["config"].contains(setting.key()) &&
                state["groups"][entry.key()]["config"][setting.key()] != setting.value())
            {
                change({"groups", entry.key(), "config", setting.key(), setting.value()});
                if (setting.key() != "cpus" || !setting.value().is_number_integer()) continue;
                for (Unit& unit : units)
                    if (unit.lane->group == entry.key() && !unit.lane->gpu && unit.phase == 5) set(unit, "cpus", setting.value());
            }
    }
}

void Simulation::tick()
{
    ++clock;
    // The user's pause of the default group, now and then.
    bool cpuRunning = false;
    for (const Unit& unit : units) cpuRunning = cpuRunning || (unit.lane == &lanes[0] && unit.phase == 5);
    if (cpuRunning && clock % kPauseEvery == 0 && paused == 0 && !groupPaused("")) {
        paused = kPauseFor;
        pauseGroup("", true);
    }
    if (paused > 0 && --paused == 0) pauseGroup("", false);
    for (size_t i = 0; i < units.size(); ++i) advance(units[i]);
    while (!units.empty() && units.front().phase == 9) units.pop_front();
    for (size_t i = 0; i < units.size(); ++i)
        if (units[i].phase == 9) units.erase(units.begin() + static_cast<std::ptrdiff_t>(i--));
    for (auto& session : sessions) session->keepAlive();
    if (clock == deleteGroupAt) {
        say("group gpu deleted");
        deleteGroup("gpu");
    }
    if (restartAfter > 0 && cpuFinished >= restartAfter) {
        cpuFinished = 0;
        restart();
    }
}

// A fresh start: the units as the client saved them, a running one back as CORE.
void comeBack(Simulation& sim)
{
    for (Unit& unit : sim.units) {
        if (unit.phase != 5) continue;
        const size_t i = sim.indexOf(unit);
        Json& saved = sim.state["units"][i];
        saved["state"] = "CORE";
        saved.erase("start_time");
        saved.erase("pid");
        saved.erase("pause_reason");
        unit.phase = 4, unit.wait = 2;
    }
    sim.state["groups"][""]["config"]["paused"] = false;
    sim.paused = 0;
}

// The first state: a CPU unit running in the default group at 45.3%, the
// other group's unit, and with --gpu (--gpus N) a GPU unit for each GPU in
// the default group.
void firstState(Simulation& sim, int gpus)
{
    sim.state = {{"info", {{"version", "8.5.7"}, {"url", "https://v8-5.foldingathome.org/"}, {"os", "linux"},
                           {"os_version", "6.18"}, {"cpu", "amd64"}, {"cpu_brand", "AMD EPYC"}, {"cpus", 16},
                           {"gpus", Json::object()}, {"mach_name", "sim"}, {"hostname", "sim"}, {"pid", 4242},
                           {"cwd", "/var/lib/fah-client"}, {"mode", "Release"},
                           {"revision", "660116cecabb7932def3c0ed5b074b9aa84deb3c"}, {"has_battery", false},
                           {"on_battery", false}, {"id", sim.newId()}, {"account", ""}}},
                 {"config", {{"user", "Anonymous"}, {"team", 0}, {"passkey", ""}, {"cause", "any"}}},
                 {"groups", {{"", {{"config", sim.groupConfig(13)}}}, {"gpu", {{"config", sim.groupConfig(1)}}}}},
                 {"units", Json::array()}};
    // A failed try before: the group's counts and its wait.
    Json& fresh = sim.state["groups"][""];
    fresh["failed_wus"] = 1, fresh["lost_wus"] = 1, fresh["wait"] = utc(0);
    for (int n = 0; n < gpus; ++n)
        sim.state["info"]["gpus"][sim.lanes[2 + n].gpuId] = {
            {"type", "nvidia"}, {"supported", true}, {"description", "GA104 [GeForce RTX 3070]"}};
    const auto running = [&](Lane& lane, double progress) {
        Unit unit;
        unit.k = lane.made++;
        const Work work = lane.work(unit.k);
        unit.lane = &lane;
        unit.id = sim.newId();
        unit.phase = 5;
        unit.progress = progress;
        sim.units.push_back(unit);
        sim.state["units"].push_back({{"group", lane.group}, {"number", ++sim.number}, {"cpus", lane.gpu ? 1 : 13},
                                      {"gpus", lane.gpu ? Json::array({lane.gpuId}) : Json::array()}, {"state", "RUN"},
                                      {"paused", false}, {"id", unit.id}, {"progress", 0},
                                      {"start_time", utc(0)}, {"pid", ++sim.pid}, {"run_time", unit.runTime},
                                      {"assignment", work.assignment}, {"wu", work.wu},
                                      {"wu_progress", figure(progress)}, {"eta", "2h 41m"}, {"ppd", 98211}});
    };
    running(sim.lanes[0], 0.453);
    running(sim.lanes[1], 0.2);
    for (int n = 0; n < gpus; ++n) running(sim.lanes[2 + n], 0.1 + 0.2 * n);
}
} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"simulated-v8-client: a Folding@home client of version 8 on 127.0.0.1"};
    int port = 0, stepMs = 1000, restartAfter = 2;
    double progressStep = 10;
    bool bad = false, gpu = false;
    int gpus = 0;
    long long deleteGroupAfter = -1;
    app.add_option("--port", port, "the port (0: a free one)")->check(CLI::Range(0, 65535));
    app.add_option("--step", stepMs, "milliseconds in a client second")->check(CLI::Range(1, 60000));
    app.add_option("--progress-step", progressStep, "percent of the CPU unit done in a client second")
        ->check(CLI::Range(0.01, 100.0));
    app.add_option("--restart-after", restartAfter, "finished CPU units between restarts (0: never)")
        ->check(CLI::Range(0, 1000));
    app.add_flag("--gpu", gpu, "a GPU unit beside the CPU unit in the default group");
    app.add_option("--gpus", gpus, "GPUs, each folding a unit beside the CPU unit (--gpu: 1)")->check(CLI::Range(0, 2));
    app.add_option("--delete-group-after", deleteGroupAfter, "client seconds until group gpu is deleted (its unit moves)");
    app.add_flag("--bad", bad, "bad input on the first four connections");
    CLI11_PARSE(app, argc, argv);

    asio::io_context io;
    Simulation sim(io);
    sim.restartAfter = restartAfter;
    sim.deleteGroupAt = deleteGroupAfter;
    if (gpu && gpus == 0) gpus = 1;
    sim.lanes.resize(4);
    sim.lanes[0] = {"", false, progressStep / 100, kGpu, cpuWork};
    sim.lanes[1] = {"gpu", false, progressStep / 1000, kGpu, otherGroupWork};
    sim.lanes[2] = {"", true, progressStep / 50, kGpu, gpuWork};
    sim.lanes[3] = {"", true, progressStep / 40, "gpu:02:00:00", secondGpuWork};
    firstState(sim, gpus);

    const tcp::endpoint where(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    int connection = 0;
    std::function<void()> listen, accept;
    listen = [&] {
        beast::error_code error;
        acceptor = std::make_unique<tcp::acceptor>(io);
        acceptor->open(where.protocol(), error);
        acceptor->set_option(asio::socket_base::reuse_address(true), error);
        acceptor->bind(tcp::endpoint(where.address(), static_cast<unsigned short>(port)), error);
        if (!error) acceptor->listen(8, error);
        if (error) {
            std::fprintf(stderr, "simulated v8 client: cannot listen: %s\n", error.message().c_str());
            std::exit(1);
        }
        if (port == 0) {
            port = acceptor->local_endpoint().port();
            say("listening on 127.0.0.1:" + std::to_string(port));
        }
        accept();
    };
    accept = [&] {
        acceptor->async_accept([&](beast::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted) return;
            if (!error) {
                auto session = std::make_shared<Session>(sim, std::move(socket));
                sim.sessions.push_back(session);
                ++connection;
                session->start(bad && connection <= 4, connection);
            }
            accept();
        });
    };
    asio::steady_timer down(io);
    sim.restart = [&] {
        say("restart");
        for (auto& session : sim.sessions) session->drop();
        sim.sessions.clear();
        acceptor->close();
        comeBack(sim);
        down.expires_after(std::chrono::milliseconds(1500));
        down.async_wait([&](beast::error_code) { listen(); });
    };
    listen();

    // The client's second. Time stands still while no bridge watches.
    asio::steady_timer ticker(io);
    std::function<void()> next = [&] {
        ticker.expires_after(std::chrono::milliseconds(stepMs));
        ticker.async_wait([&](beast::error_code) {
            std::vector<std::shared_ptr<Session>> open;
            for (auto& session : sim.sessions)
                if (session->open) open.push_back(session);
            sim.sessions = open;
            bool watched = false;
            for (auto& session : sim.sessions) watched = watched || !session->bad;
            if (watched) sim.tick();
            next();
        });
    };
    next();
    io.run();
}
