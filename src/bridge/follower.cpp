// Following a client: each state it sends becomes the unit file (and a
// project record); a lost connection is followed by another.
#include "bridge/follower.h"

#include <cstdio>
#include <ctime>

#include "bridge/local_time.h"
#include "bridge/project_table.h"
#include "bridge/unitinfo_writer.h"
#include "platform/platform.h"

namespace pelmora::bridge {

namespace {
// Reconnecting: a second at first, doubling to at most half a minute, and
// back to a second once a connection has brought a state.
constexpr unsigned kFirstPauseMs = 1000;
constexpr unsigned kLongestPauseMs = 30000;
} // namespace

bool Follower::follow(bool found, const UnitFacts& facts)
{
    if (!found) return false;
    const std::string content = unitFileText(facts);
    bool written = content == lastText;
    if (!written) {
        const std::string path = options.out + "/unitinfo.txt";
        const int result = replaceFileIfChanged(path, content);
        written = result >= 0;
        failed = result < 0;
        if (result > 0) {
            ++writes;
            logLine("unit file: p" + std::to_string(facts.project) + "_R" + std::to_string(facts.run) + "_C" +
                    std::to_string(facts.clone) + "_G" + std::to_string(facts.gen) + " at " +
                    std::to_string(facts.percent) + "%");
        } else if (result < 0) {
            logLine("cannot replace " + path);
        }
        if (written) lastText = content;
    }
    if (!options.database.empty() && !projectsKnown.count(facts.project)) {
        const int result = addProject(options.database, facts);
        if (result > 0) logLine("project " + std::to_string(facts.project) + " added to " + options.database);
        if (result < 0) logLine("cannot add to " + options.database);
        if (result > 0 || (result == 0 && !projectRecord(facts).empty())) projectsKnown.insert(facts.project);
    }
    return written;
}

int followClient(const Options& options, const std::string& password, V8Connection runV8)
{
    Follower follower;
    follower.options = options;
    const bool v8 = options.client == "v8";
    unsigned pauseMs = kFirstPauseMs;
    for (;;) {
        bool unitWritten = false;
        const long long statesBefore = follower.statesSeen;
        const Link result = v8 ? runV8(follower, unitWritten) : runV7(follower, password, unitWritten);
        if (options.list) return result == Link::Done ? 0 : 1;
        if (options.once)
            return result != Link::Done || follower.failed ? 1 : follower.missing ? 3 : unitWritten ? 0 : 2;
        if (follower.statesSeen > statesBefore) pauseMs = kFirstPauseMs;
        platform().sleepMilliseconds(pauseMs);
        pauseMs = pauseMs * 2 > kLongestPauseMs ? kLongestPauseMs : pauseMs * 2;
    }
}

namespace {
std::string clientName(const Options& options) { return "version " + options.client.substr(1) + " client: "; }
} // namespace

std::string clientAddress(const Options& options)
{
    const bool v6 = options.host.find(':') != std::string::npos;
    return (v6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(options.port);
}

void logConnected(const Options& options) { logLine(clientName(options) + "connected to " + clientAddress(options)); }

void logCannotConnect(const Options& options, const std::string& why)
{
    logLine(clientName(options) + "cannot connect to " + clientAddress(options) + " (" + why + ")");
}

void logClosedAtOnce(const Options& options)
{
    logLine(clientName(options) + clientAddress(options) +
            " closed the connection at once: the client may not allow this address (its \"allow\" setting lists "
            "the addresses it takes; by default only 127.0.0.1 and ::1)");
}

void logLine(const std::string& text)
{
    const std::string stamp = localTimeText(std::time(nullptr), LocalTimeForm::log);
    std::fprintf(stderr, "%s pelmora-bridge: %s\n", stamp.c_str(), text.c_str());
    std::fflush(stderr);
}

} // namespace pelmora::bridge
