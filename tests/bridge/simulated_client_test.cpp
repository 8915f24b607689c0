// tools/simulated-v8-client against the recordings of the real client: the
// shapes of its frames (every key path with its value's type, in the state
// and in updates), the order of a unit's life, and its keep-alive.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "bridge/messages.h"

using namespace pelmora::bridge;
namespace {
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Shapes = std::set<std::string>;

// "units[].assignment.core.type string": list items and names of groups and GPUs folded.
void addShapes(const Json& value, const std::string& path, Shapes& shapes)
{
    const char* type = value.is_number() ? "number" : value.is_string() ? "string" : value.is_boolean() ? "bool"
                       : value.is_null() ? "null" : value.is_array() ? "list" : "object";
    shapes.insert(path + " " + type);
    for (auto it = value.begin(); value.is_object() && it != value.end(); ++it)
        addShapes(*it, path + "." + (path == "groups" || path == "info.gpus" ? "<name>" : it.key()), shapes);
    for (const Json& item : value.is_array() ? value : Json::array()) addShapes(item, path + "[]", shapes);
}

void addMessage(const Json& message, Shapes& shapes)
{
    for (auto it = message.begin(); message.is_object() && it != message.end(); ++it) addShapes(*it, it.key(), shapes);
    if (!message.is_array() || message.empty()) return;
    std::string path = "update ";
    for (size_t i = 0; i + 1 < message.size(); ++i)
        path += message[i].is_number() ? "[]" : (i ? "." : "") + (i == 1 && message[0] == "groups" ? "<name>" : message[i].get<std::string>());
    addShapes(message.back(), path, shapes);
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
    Shapes real, simulated;
    for (const char* name : {"1-nounit", "2-unit", "3-restart-4units", "4-group-deleted", "5-gpu-group-deleted"}) {
        std::ifstream in(std::string("recordings/capture") + name + ".jsonl");
        for (std::string line; std::getline(in, line);)
            if (Json::parse(line)["dir"] == "recv") addMessage(Json::parse(line)["msg"], real);
    }
    ASSERT_GT(real.size(), 100u);
    // A client second of 20 ms; every unit ends within the run.
    FILE* process = popen(("echo $$; exec " + std::string(sim) + " --step 20 --progress-step 25 --restart-after 0 --gpus 2").c_str(), "r");
    int pid = 0, port = 0;
    ASSERT_EQ(std::fscanf(process, "%d listening on 127.0.0.1:%d", &pid, &port), 2);
    boost::asio::io_context io;
    websocket::stream<boost::asio::ip::tcp::socket> ws(io);
    ws.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    websocket::response_type answer;
    ws.handshake(answer, "127.0.0.1", "/api/websocket");
    EXPECT_EQ(std::string(answer.reason()), "HTTP_SWITCHING_PROTOCOLS");
    // The default group's CPUs changed and group gpu deleted, as capture 5 does it.
    ws.write(boost::asio::buffer(std::string(R"({"cmd":"config","config":{"groups":{"":{"cpus":2}}}})")));

    Json state;
    std::string life; // the first unit made: its states in order, then "gone"
    Json number;
    while (life.find("gone") == std::string::npos && simulated.size() < 10000) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
        addMessage(message, simulated);
        if (message.is_object()) state = message;
        if (!message.is_array() || message[0] != "units") continue;
        if (message.size() == 3 && message[2].is_object() && number.is_null()) number = message[2]["number"];
        const Json& units = state["units"];
        const size_t at = message[1].get<size_t>();
        const bool mine = !number.is_null() && at < units.size() && units[at].value("number", Json()) == number;
        if (mine && message.size() == 4 && message[2] == "state") life += message[3].get<std::string>() + " ";
        if (mine && message.size() == 3 && message[2].is_null()) life += "gone";
        ASSERT_TRUE(applyUpdate(state, message)) << message.dump();
    }
    EXPECT_EQ(life, "DOWNLOAD CORE RUN UPLOAD DONE gone");
    // Nothing the real client does not send, but what the recordings could
    // not show: the recording machine had no GPU, and offline no new unit
    // got as far as its assignment and wu (sent as its core starts).
    EXPECT_EQ(missing(simulated, real, {"info.gpus.<name>", "units[].assignment.gpus", "update units[].assignment",
                                        "update units[].wu", "update units[].gpus[]"}), "");
    // What the real client sends that a simulation easily leaves out.
    Shapes wanted;
    std::istringstream keys(
        "info.account string,info.cpu_brand string,info.cwd string,info.has_battery bool,info.id string,info.mode string,"
        "info.on_battery bool,info.os_version string,info.pid number,info.revision string,info.url string,"
        "groups.<name>.failed_wus number,groups.<name>.lost_wus number,groups.<name>.wait string,"
        "units[].assignment.core.sha256 string,units[].assignment.core.url string,units[].wu.server number,"
        "units[].wu.sha256 string,update units[].delay number,update units[].retries number,update units[].wait string,"
        "update units[].pause_reason string,update units[].paused bool,update units[].cpus number,update units[].gpus list,"
        "update units[].group string,update groups.<name>.config.cpus number,update groups.<name> null,"
        "update groups.<name>.failed string");
    for (std::string key; std::getline(keys, key, ',');) wanted.insert(key);
    EXPECT_EQ(missing(wanted, simulated), "");

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
