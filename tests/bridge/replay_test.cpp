// The bridge against sessions recorded from a real version 8.5.7 client
// (recordings/, the frames the client sent, in order, the time between them
// compressed), and against scripted clients: the unit file at the points that
// matter, every frame taken, and nothing ever sent to the client. Local time
// is UTC (TZ=UTC0).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "bridge/bridge.h"
#include "bridge/io/v8_client.h"
#include "replay_peer.h"
#include "support/loopback_peer.h"

using namespace pelmora::bridge;

namespace {
std::string unitFile()
{
    std::ifstream file("unitinfo.txt");
    if (!file) return "(none)";
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string v6File(const char* name, const char* tag, const char* dates, const char* progress)
{
    return std::string("Current Work Unit\n-----------------\nName: ") + name + "\nTag: " + tag + "\n" + dates +
           "Progress: " + progress + "\n";
}

struct Outcome {
    std::map<std::string, std::string> files; // the unit file at each barrier
    std::vector<std::string> sent, missed;
    Link link = Link::Done;
    Follower follower;
};

// Plays script to a bridge following the default group's units of kind.
Outcome play(const std::vector<ReplayStep>& script, UnitKind kind = UnitKind::Any, int silenceMs = 30000)
{
    std::remove("unitinfo.txt");
    Outcome outcome;
    ReplayPeer peer(script, [&](const std::string& name) { outcome.files[name] = unitFile(); });
    outcome.follower.options.port = peer.port();
    outcome.follower.options.units = kind;
    outcome.follower.options.silenceMs = silenceMs;
    bool unitWritten = false;
    outcome.link = runV8(outcome.follower, unitWritten);
    peer.finish();
    outcome.sent = peer.received();
    outcome.missed = peer.missedBarriers();
    return outcome;
}

// A recorded session: its recv frames, a barrier after each frame number
// named (counted from 1) and at the end, a pause of a hundredth of the
// recorded time between frames (at most 20 ms).
std::vector<ReplayStep> recording(const char* file, std::vector<int> barriers, int* frames = nullptr, int* pings = nullptr)
{
    std::ifstream in(std::string("recordings/") + file);
    EXPECT_TRUE(in) << file;
    std::vector<ReplayStep> script;
    int count = 0, quiet = 0;
    double last = 0;
    for (std::string line; std::getline(in, line);) {
        const Json event = Json::parse(line);
        if (event["dir"] != "recv") continue;
        const double t = event["t"].get<double>();
        const int ms = static_cast<int>((t - last) * 10);
        if (ms > 0) script.push_back({ReplayStep::Pause, "", ms > 20 ? 20 : ms});
        last = t;
        script.push_back({ReplayStep::Text, event["raw"].get<std::string>()});
        quiet += event["msg"] == "ping";
        ++count;
        for (int at : barriers)
            if (at == count) script.push_back({ReplayStep::Barrier, std::to_string(at)});
    }
    script.push_back({ReplayStep::Barrier, "end"});
    if (frames) *frames = count;
    if (pings) *pings = quiet;
    return script;
}

TEST(Replay, RecordedSessions)
{
    const std::string p18213 = v6File("p18213_R412_C7_G19", "P18213R412C7G19",
                                      "Download time: December 7 15:53:56\nDue time: December 11 15:53:56\n", "");
    const auto at = [](const std::string& file, const char* progress) {
        return file.substr(0, file.size() - 1) + progress + "\n";
    };
    const std::string p18401 = v6File("p18401_R5_C3_G88", "P18401R5C3G88",
                                      "Download time: December 6 23:05:10\nDue time: December 9 23:05:10\n", "");
    const std::string p17500 = v6File("p17500_R2_C4_G6", "P17500R2C4G6",
                                      "Download time: December 8 00:12:33\nDue time: December 10 00:12:33\n", "");
    const std::string p17000 = v6File("p17000_R33_C1_G5", "P17000R33C1G5",
                                      "Download time: December 7 18:05:10\nDue time: December 11 18:05:10\n", "");
    const struct {
        const char* file;
        std::map<int, std::string> expected; // the unit file after frame n (0: at the end)
        long long writes;
        UnitKind kind = UnitKind::Any;
    } sessions[] = {
        // No unit gets past ASSIGN (its id changing on every try): no file.
        {"capture1-nounit.jsonl", {{1, "(none)"}, {9, "(none)"}, {0, "(none)"}}, 0},
        // Back as CORE, paused; RUN; paused in RUN with its core stopped;
        // finished; UPLOAD keeps the last file. Rewritten once per whole percent.
        {"capture2-unit.jsonl",
         {{1, at(p18213, "45% [||||______]")}, {138, at(p18213, "64% [||||||____]")},
          {0, at(p18213, "100% [||||||||||]")}},
         56},
        // Four units after a restart: the RUN one of the default group; its
        // core restarted; an UPLOAD unit expiring and removed (the later ones
        // move down).
        {"capture3-restart-4units.jsonl",
         {{1, at(p18401, "41% [||||______]")}, {244, at(p18401, "71% [|||||||___]")},
          {0, at(p18401, "100% [||||||||||]")}},
         60},
        // Nothing of the default group runs; group gpu deleted, its unit moves in.
        {"capture4-group-deleted.jsonl",
         {{1, "(none)"}, {2, at(p17000, "20% [||________]")}, {0, at(p17000, "51% [|||||_____]")}},
         32},
        // Two GPU units: p17500 followed, p17000's group deleted, moving it
        // into the default group ahead of p17500, which stays on at 10%.
        {"capture5-gpu-group-deleted.jsonl",
         {{1, at(p17500, "10% [|_________]")}, {32, at(p17500, "10% [|_________]")}, {33, at(p17500, "10% [|_________]")},
          {0, at(p17500, "10% [|_________]")}},
         1, UnitKind::Gpu},
    };
    for (const auto& session : sessions) {
        SCOPED_TRACE(session.file);
        std::vector<int> barriers;
        for (const auto& point : session.expected) barriers.push_back(point.first);
        int frames = 0, pings = 0;
        Outcome outcome = play(recording(session.file, barriers, &frames, &pings), session.kind);
        EXPECT_EQ(outcome.link, Link::Lost); // the peer drops the link at the end
        EXPECT_TRUE(outcome.missed.empty());
        EXPECT_TRUE(outcome.sent.empty()) << outcome.sent.front();
        EXPECT_EQ(outcome.follower.statesSeen, frames - pings); // every frame taken
        EXPECT_EQ(outcome.follower.writes, session.writes);
        for (const auto& point : session.expected)
            EXPECT_EQ(outcome.files[point.first ? std::to_string(point.first) : "end"], point.second)
                << "after frame " << point.first;
    }
}
} // namespace

namespace {
const char* const kRunning = R"({"groups":{"":{"config":{"paused":false}}},"units":[{"group":"","gpus":[],"state":"RUN",
    "assignment":{"project":18213,"time":"2025-01-05T08:40:03Z","deadline":345600},"wu":{"run":412,"clone":7,"gen":19},
    "wu_progress":0.1}]})";

TEST(Replay, ASilentLinkIsStalledOnlyWithoutAnyFrame)
{
    // Ping frames alone keep it: the update after them is taken.
    std::vector<ReplayStep> script = {{ReplayStep::Text, kRunning}};
    for (int i = 0; i < 8; ++i) {
        script.push_back({ReplayStep::PingFrame, ""});
        script.push_back({ReplayStep::Pause, "", 100});
    }
    script.push_back({ReplayStep::Text, R"(["units",0,"wu_progress",0.2])"});
    script.push_back({ReplayStep::Barrier, "after"});
    Outcome kept = play(script, UnitKind::Any, 500);
    EXPECT_TRUE(kept.missed.empty());
    EXPECT_NE(kept.files["after"].find("Progress: 20% [||________]"), std::string::npos) << kept.files["after"];
    EXPECT_EQ(kept.follower.statesSeen, 2);

    // Nothing at all: the bridge gives the link up before the update.
    Outcome stalled = play({{ReplayStep::Text, kRunning}, {ReplayStep::Pause, "", 1200},
                            {ReplayStep::Text, R"(["units",0,"wu_progress",0.2])"}},
                           UnitKind::Any, 400);
    EXPECT_EQ(stalled.link, Link::Lost);
    EXPECT_EQ(stalled.follower.statesSeen, 1);
    EXPECT_NE(unitFile().find("Progress: 10% [|_________]"), std::string::npos) << unitFile();
}
} // namespace

namespace {
// What one connection of client (v8 or v7) to host and port logs.
std::string connectionLog(const char* client, const char* host, int port)
{
    Follower follower;
    follower.options.client = client;
    follower.options.host = host;
    follower.options.port = port;
    follower.options.once = true;
    bool unitWritten = false;
    testing::internal::CaptureStderr();
    if (*client == 'v' && client[1] == '8')
        runV8(follower, unitWritten);
    else
        runV7(follower, "", unitWritten);
    const std::string log = testing::internal::GetCapturedStderr();
    // Without the time stamp and the client's version, to compare the two.
    const size_t from = log.find(" client: ");
    return from == std::string::npos ? log : log.substr(from + 9);
}

TEST(Replay, ConnectionsLoggedAlikeByBothVersions)
{
    const int refused = pelmora::refusingPort();
    pelmora::LoopbackServer closing(0, [](pelmora::PeerConnection&) {}); // an address the client does not allow
    pelmora::LoopbackServer v7(0, [](pelmora::PeerConnection& peer) { peer.send("Welcome\n> "); });
    ReplayPeer v8(std::vector<ReplayStep>{{ReplayStep::Text, kRunning}}, [](const std::string&) {});
    const std::string at = "cannot connect to 127.0.0.1:" + std::to_string(refused) + " (";
    const std::string v8Refused = connectionLog("v8", "127.0.0.1", refused);
    EXPECT_EQ(v8Refused.rfind(at, 0), 0u) << v8Refused;
    EXPECT_EQ(connectionLog("v7", "127.0.0.1", refused), v8Refused);
    for (const char* client : {"v8", "v7"}) {
        const std::string log = connectionLog(client, "127.0.0.1", closing.port());
        EXPECT_NE(log.find("the client may not allow this address (its \"allow\" setting"), std::string::npos) << log;
    }
    // A host name, looked up; the connection said.
    EXPECT_EQ(connectionLog("v8", "localhost", v8.port()).rfind("connected to localhost:" + std::to_string(v8.port()) + "\n", 0), 0u);
    EXPECT_EQ(connectionLog("v7", "localhost", v7.port()).rfind("connected to localhost:" + std::to_string(v7.port()) + "\n", 0), 0u);
    v8.finish();
}
} // namespace
