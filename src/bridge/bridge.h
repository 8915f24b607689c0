#pragma once
// pelmora-bridge: reads a current Folding@home client (version 7 or 8) and
// keeps the monitor's unit file (and, if asked, its project table) up to date.
//
// The pieces: the v8 state and its updates, the v7 PyON replies, the choice
// of the unit to follow, the unit file's text and its atomic replacement, the
// project record. The two clients' connections (v8_client.cpp, v7_client.cpp)
// feed these; main.cpp holds the options.
#include <ctime>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace bridge {

using Json = nlohmann::json;

// The most a single message or reply may hold; past it the link is dropped.
constexpr size_t kMaxMessageBytes = 1 << 20;

// A message as JSON; discarded when it is not JSON or nests deeper than
// kMaxDepth (copies and comparisons of a value recurse).
constexpr int kMaxDepth = 64;
Json parseMessage(const std::string& text);

// --- Version 8: the state and its updates ------------------------------------

// Applies one update [key, ..., value] to state: string keys walk objects,
// integer indices walk lists; null deletes the key or removes the element
// (later elements move down), an index equal to the list's length appends.
// False, with state untouched, when the update does not fit the state.
bool applyUpdate(Json& state, const Json& update, std::string* why = nullptr);

// --- Version 7: PyON ----------------------------------------------------------

// Python literals (True, False, None, \xNN escapes) rewritten as JSON.
std::string pyonToJson(const std::string& body);

// Takes the first complete "PyON 1 <name>\n...\n---\n" reply off the front of
// buffer (whatever stood before it goes too). True with name and the body as
// JSON when one was complete; false when more text is needed. A reply whose
// body is not valid gives true with body null.
bool takePyonReply(std::string& buffer, std::string& name, Json& body);

// --- The unit followed --------------------------------------------------------

// What the unit file and the project record are made of.
struct UnitFacts {
    long long project = 0, run = 0, clone = 0, gen = 0;
    time_t assigned = 0;    // 0: unknown
    time_t due = 0;         // 0: unknown (no due line)
    int percent = 0;        // whole percent, 0..100
    long long frames = 0;   // 0: the client gives no frame count
    double points = -1;     // base points; < 0: unknown
    std::string core;       // "" : unknown
    std::string server;     // the work server, "" when unknown
};

// Picks the unit to follow out of a v8 state's units in group (running
// first, else the next to run) and reads its facts. False when there is
// none, or it is not assigned yet (no project, run, clone and gen).
bool chooseV8Unit(const Json& state, const std::string& group, UnitFacts& facts);
// The same for a v7 queue-info list; slot < 0 takes every slot.
bool chooseV7Unit(const Json& units, int slot, UnitFacts& facts);

// "2025-01-05T08:40:03Z" (UTC) as calendar time; 0 when it is not one.
time_t parseUtc(const std::string& text);

// The unit file of a version 6 client for these facts, times in local time.
std::string unitFileText(const UnitFacts& facts);

// Replaces path with text through a temporary file in the same directory,
// only when its content differs. 1 written, 0 already so, -1 failed (the old
// file stays as it was).
int replaceFileIfChanged(const std::string& path, const std::string& text);

// The project-table record for these facts ("" when points or core are
// unknown), and its appending to database unless the project is there.
std::string projectRecord(const UnitFacts& facts);
// 1 appended, 0 already there (or nothing to add), -1 failed.
int addProject(const std::string& database, const UnitFacts& facts);

// --- Running ------------------------------------------------------------------

struct Options {
    std::string client = "v8";
    std::string host = "127.0.0.1";
    int port = 0; // 0: the client's default
    std::string passwordFile;
    std::string out = ".";
    std::string database;
    std::string group;
    int slot = -1;
    bool once = false;
};

// Where a connection reports each complete state: writes the files. The
// result says whether a unit was written (or already was).
struct Follower {
    Options options;
    std::string lastText;
    std::set<long long> projectsKnown;
    long long statesSeen = 0; // complete states handled, over all connections
    bool failed = false;      // the last write of the unit file failed
    bool follow(bool found, const UnitFacts& facts);
};

// Outcomes of one connection.
enum class Link {
    Unreachable, // never connected (or refused)
    Lost,        // connected, then dropped, stalled or sent bad input
    Done,        // --once: the first state was handled
};
// One connection: reads states until it ends. unitWritten tells, under
// --once, whether the first state gave a unit.
Link runV8(Follower& follower, bool& unitWritten);
Link runV7(Follower& follower, const std::string& password, bool& unitWritten);

void logLine(const std::string& text);

} // namespace bridge
