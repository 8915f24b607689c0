#pragma once
// Following a client: the options, what each state becomes on disk, the
// connections and the reconnecting between them.
#include <set>
#include <string>

#include "bridge/unit_choice.h"

namespace pelmora::bridge {

struct Options {
    std::string client = "v8";
    std::string host = "127.0.0.1";
    int port = 0; // 0: the client's default
    std::string passwordFile;
    std::string out = ".";
    std::string database;
    std::string group;
    bool groupGiven = false; // --gpu alone looks in every group
    UnitKind units = UnitKind::Any;
    std::string gpu;
    int slot = -1;
    bool once = false;
    bool list = false; // print what the client has and end
    // A version 8 link with no frame at all (messages, pings) for this long
    // is stalled. The client sends a ping frame every 25 s.
    int silenceMs = 30000;

    Wanted wanted() const { return {group, !gpu.empty() && !groupGiven, units, gpu, slot}; }
};

// Where a connection reports each complete state: writes the files. The
// result says whether a unit was written (or already was).
struct Follower {
    Options options;
    std::string lastText;
    std::string followed; // the id of the unit kept to, over reconnections too
    std::set<long long> projectsKnown;
    long long statesSeen = 0; // complete states handled, over all connections
    long long writes = 0;     // times the unit file was replaced
    bool failed = false;      // the last write of the unit file failed
    bool missing = false;     // the client lacks the group or GPU asked for
    bool follow(bool found, const UnitFacts& facts);
};

// Outcomes of one connection.
enum class Link {
    Unreachable, // never connected (or refused)
    Lost,        // connected, then dropped, stalled or sent bad input
    Done,        // --once: the first state was handled (--list: printed)
};
// One connection: reads states until it ends. unitWritten tells, under
// --once, whether the first state gave a unit. Version 7's is the
// platform's sockets; version 8's needs Boost.Beast and lives in
// bridge/io/v8_client.h.
Link runV7(Follower& follower, const std::string& password, bool& unitWritten);
using V8Connection = Link (*)(Follower& follower, bool& unitWritten);

// Connection after connection. Under --once the exit status: 0 a unit was
// written, 2 there was none, 3 the client has no such group or GPU, 1 no
// client or the file could not be written; under --list 0 once printed, 1
// no client; otherwise it never returns.
int followClient(const Options& options, const std::string& password, V8Connection runV8);

void logLine(const std::string& text);

// The lines both versions' connections log alike: the client's address
// ("[::1]:7396" for an IPv6 one), a connection made, one that failed, and
// one the client closed before it said anything, which is what a client
// does to an address its "allow" setting leaves out.
std::string clientAddress(const Options& options);
void logConnected(const Options& options);
void logCannotConnect(const Options& options, const std::string& why);
void logClosedAtOnce(const Options& options);

} // namespace pelmora::bridge
