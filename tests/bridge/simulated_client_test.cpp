// tools/simulated-v8-client against the recordings of the real client: the
// shapes of its frames (every key path with its value's type, in the state
// and in updates), the order of a unit's life, and its keep-alive.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Json = nlohmann::json;
using Shapes = std::set<std::string>;

const char* typeOf(const Json& value)
{
    if (value.is_number()) return "number";
    if (value.is_string()) return "string";
    if (value.is_boolean()) return "bool";
    if (value.is_null()) return "null";
    return value.is_array() ? "list" : "object";
}

// "units[].assignment.core.type string": list items and group names folded.
void addShapes(const Json& value, const std::string& path, Shapes& shapes)
{
    shapes.insert(path + " " + typeOf(value));
    if (value.is_object())
        for (auto it = value.begin(); it != value.end(); ++it)
            addShapes(*it, path + "." + (path == "groups" || path == "info.gpus" ? "<name>" : it.key()), shapes);
    if (value.is_array())
        for (const Json& item : value) addShapes(item, path + "[]", shapes);
}

void addMessage(const Json& message, Shapes& state, Shapes& updates)
{
    if (message.is_object())
        for (auto it = message.begin(); it != message.end(); ++it) addShapes(*it, it.key(), state);
    if (!message.is_array() || message.empty()) return;
    std::string path;
    for (size_t i = 0; i + 1 < message.size(); ++i)
        path += message[i].is_number() ? "[]" : (path.empty() ? "" : ".") + (path == "groups" ? "<name>" : message[i].get<std::string>());
    addShapes(message.back(), "update " + path, updates);
}

// The shapes of from that in lacks, but for those starting with one of except.
std::string missing(const Shapes& from, const Shapes& in, std::initializer_list<const char*> except = {})
{
    std::string out;
    for (const std::string& shape : from) {
        bool excepted = false;
        for (const char* start : except) excepted = excepted || shape.rfind(start, 0) == 0;
        if (!in.count(shape) && !excepted) out += "  " + shape + "\n";
    }
    return out;
}

TEST(SimulatedClient, FramesShapedAsTheRecordings)
{
    const char* sim = std::getenv("SIM_V8");
    if (!sim) GTEST_SKIP() << "SIM_V8 not set (the Linux build's tool)";
    Shapes realState, realUpdates;
    for (const char* name : {"capture1-nounit", "capture2-unit", "capture3-restart-4units", "capture4-group-deleted",
                             "capture5-gpu-group-deleted"}) {
        std::ifstream in(std::string("recordings/") + name + ".jsonl");
        ASSERT_TRUE(in) << name;
        for (std::string line; std::getline(in, line);) {
            const Json event = Json::parse(line);
            if (event["dir"] == "recv") addMessage(event["msg"], realState, realUpdates);
        }
    }
    // A client second of 20 ms; every unit ends within the run.
    FILE* process = popen(("echo $$; exec " + std::string(sim) + " --step 20 --progress-step 25 --restart-after 0 --gpus 2").c_str(), "r");
    ASSERT_TRUE(process);
    int pid = 0, port = 0;
    ASSERT_EQ(std::fscanf(process, "%d listening on 127.0.0.1:%d", &pid, &port), 2);
    asio::io_context io;
    websocket::stream<asio::ip::tcp::socket> ws(io);
    ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    websocket::response_type answer;
    ws.handshake(answer, "127.0.0.1", "/api/websocket");
    EXPECT_EQ(std::string(answer.reason()), "HTTP_SWITCHING_PROTOCOLS");
    // The default group's CPUs changed and group gpu deleted, as capture 5 does it.
    ws.write(asio::buffer(std::string(R"({"cmd":"config","config":{"groups":{"":{"cpus":2}}}})")));

    Shapes state, updates;
    std::string life; // the first unit made: its states in order, then "gone"
    long long number = -1;
    Json snapshot;
    for (int i = 0; i < 6000 && life.find("gone") == std::string::npos; ++i) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
        addMessage(message, state, updates);
        if (message.is_object()) snapshot = message;
        if (!message.is_array() || message[0] != "units") continue;
        // Follow unit number: its index moves as units before it go.
        Json& units = snapshot["units"];
        const size_t at = message[1].get<size_t>();
        if (message.size() == 3 && message[2].is_object() && number < 0) number = message[2]["number"];
        const bool mine = at < units.size() && units[at]["number"] == number;
        if (mine && message.size() == 4 && message[2] == "state") life += message[3].get<std::string>() + " ";
        if (mine && message.size() == 3 && message[2].is_null()) life += "gone";
        nlohmann::json::json_pointer pointer;
        for (size_t k = 0; k + 1 < message.size(); ++k)
            pointer /= message[k].is_number() ? std::to_string(message[k].get<size_t>()) : message[k].get<std::string>();
        if (message.back().is_null() && message.size() == 3) units.erase(at);
        else if (message.back().is_null()) snapshot[pointer.parent_pointer()].erase(pointer.back());
        else snapshot[pointer] = message.back();
    }
    EXPECT_EQ(life, "DOWNLOAD CORE RUN UPLOAD DONE gone");
    // Nothing the real client does not send, but what the recordings could
    // not show: the recording machine had no GPU, and offline no new unit
    // got as far as its assignment and wu (sent as its core starts).
    EXPECT_EQ(missing(state, realState, {"info.gpus.<name>", "units[].assignment.gpus"}), "") << "in the state";
    EXPECT_EQ(missing(updates, realUpdates, {"update units[].assignment", "update units[].wu", "update units[].gpus[]"}), "")
        << "in updates";
    // What the real client sends that a simulation easily leaves out.
    Shapes wanted;
    for (const char* key : {"account string", "cpu_brand string", "cwd string", "has_battery bool", "id string", "mode string",
                            "on_battery bool", "os_version string", "pid number", "revision string", "url string"})
        wanted.insert(std::string("info.") + key);
    for (const char* key : {"groups.<name>.failed_wus number", "groups.<name>.lost_wus number", "groups.<name>.wait string",
                            "units[].assignment.core.sha256 string", "units[].assignment.core.url string",
                            "units[].wu.server number", "units[].wu.sha256 string"})
        wanted.insert(key);
    EXPECT_EQ(missing(wanted, state), "") << "in the state";
    wanted.clear();
    for (const char* key : {"units[].delay number", "units[].retries number", "units[].wait string", "units[].pause_reason string",
                            "units[].paused bool", "units[].cpus number", "units[].gpus list", "units[].group string",
                            "groups.<name>.config.cpus number", "groups.<name> null", "groups.<name>.failed string"})
        wanted.insert(std::string("update ") + key);
    EXPECT_EQ(missing(wanted, updates), "") << "in updates";

    // Silent (not reading, so no pong): ping frames at 25 s and 50 s, then
    // the connection dropped with no close frame.
    int pings = 0;
    ws.control_callback([&](websocket::frame_type kind, beast::string_view) { pings += kind == websocket::frame_type::ping; });
    std::this_thread::sleep_for(std::chrono::seconds(2)); // 100 client seconds
    beast::error_code error;
    for (beast::flat_buffer buffer; !error; buffer.clear()) ws.read(buffer, error);
    EXPECT_GE(pings, 2);
    EXPECT_NE(error, websocket::error::closed) << error.message();
    kill(pid, SIGTERM);
    pclose(process);
}
} // namespace
