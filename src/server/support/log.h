// The server's log: standard error, one line an event, with its level.
#pragma once

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/support/defaults.h"

namespace pelmora::server {

enum class Level { debug, info, warn, error };

void setLogLevel(Level lowest);
bool logLevelFromName(const std::string& name, Level& level);
void logEvent(Level level, const std::string& text);
// Whether lines of LEVEL are written: a line made at every exchange is made only then.
bool logs(Level level);

// Lines a peer can cause at its own pace. Of each kind about each subject
// (an address; a machine and an address) the first is written, then at most
// one a minute, which says how many were left out. Each line also draws on
// a budget of its class, so no number of subjects floods the log: noise (a
// peer's fault: a connection ended early, a malformed record, a request
// over a limit, a wrong token) shares one of a few lines a second; the
// machines' address trace (an address change, a record refused) has one of
// its own, so no flood of noise pushes it out. A trace line over its budget
// is counted by kind, and the next one written, at most every
// kTraceSummaryMs, comes after a line of those counts. What accepted input
// did (a unit stored, a machine added: each its own event, so no subject)
// has a budget of its own too, summed up in the same way. So a flood of
// noise, trace and accepted input together writes at most 5 lines a second.
enum class Repeat { noise, trace, accepted };
void logRepeated(Level level, Repeat what, const std::string& kind, const std::string& subject,
                 const std::string& text);

class RepeatLimiter {
public:
    static constexpr long long kWindowMs = defaults::kLogRepeatWindowMilliseconds;
    static constexpr double kNoisePerSecond = defaults::kLogNoisePerSecond, kNoiseBurst = defaults::kLogNoiseBurst;
    static constexpr double kTracePerSecond = defaults::kLogTracePerSecond, kTraceBurst = defaults::kLogTraceBurst;
    static constexpr long long kTraceSummaryMs = defaults::kLogTraceSummaryMilliseconds;
    static constexpr double kAcceptedPerSecond = defaults::kLogAcceptedPerSecond;
    static constexpr double kAcceptedBurst = defaults::kLogAcceptedBurst;
    static constexpr std::size_t kMostKeys = defaults::kLogMostSubjects;

    // Whether the line of KIND about SUBJECT goes out at NOW_MS; if so, NOTE
    // is what to add to it about the lines left out before, and SUMMARY,
    // when not empty, a line to write before it: the trace's lines left out
    // over its budget.
    bool pass(const std::string& kind, const std::string& subject, Repeat what, long long nowMs, std::string& note,
              std::string& summary);

private:
    struct Entry {
        long long windowStart = 0, leftOut = 0;
        std::list<std::string>::iterator age;
    };
    struct Budget {
        double perSecond, burst, tokens;
        long long refilledMs = 0;
        bool take(long long nowMs);
    };
    // Lines of a class left out over its budget, by kind, until summed up.
    struct LeftOut {
        std::map<std::string, long long> byKind; // the kinds are the code's own few
        long long sinceMs = 0, summarizedMs = -kTraceSummaryMs;
        void count(const std::string& kind, long long nowMs);
        std::string summary(const char* what, long long nowMs); // empty: none, or not yet
    };
    Entry& entry(const std::string& key, long long nowMs, bool& fresh);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> ages_; // most recently seen first
    Budget noise_{kNoisePerSecond, kNoiseBurst, kNoiseBurst}, trace_{kTracePerSecond, kTraceBurst, kTraceBurst};
    Budget accepted_{kAcceptedPerSecond, kAcceptedBurst, kAcceptedBurst};
    long long forgotten_ = 0;
    LeftOut traceLeftOut_, acceptedLeftOut_;
};

} // namespace pelmora::server
