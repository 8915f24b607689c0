// The server's log: standard error, one line an event, with its level.
#pragma once

#include <list>
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
// one a minute, which says how many were left out. Noise (a peer's fault:
// a connection ended early, a malformed record, a request over a limit, a
// wrong token) also shares one budget of a few lines a second, so many
// addresses cannot flood the log either. The lines the machines' address
// trace needs (an address change, a record refused) never draw on that
// budget, so no flood of noise pushes them out: they are bounded by their
// subjects, each a machine and the address it came from.
enum class Repeat { noise, trace };
void logRepeated(Level level, Repeat what, const std::string& kind, const std::string& subject,
                 const std::string& text);

class RepeatLimiter {
public:
    static constexpr long long kWindowMs = defaults::kLogRepeatWindowMilliseconds;
    static constexpr double kNoisePerSecond = defaults::kLogNoisePerSecond, kNoiseBurst = defaults::kLogNoiseBurst;
    static constexpr std::size_t kMostKeys = defaults::kLogMostSubjects;

    // Whether the line for KEY goes out at NOW_MS; if so, NOTE is what to
    // add to it about the lines left out before.
    bool pass(const std::string& key, Repeat what, long long nowMs, std::string& note);

private:
    struct Entry {
        long long windowStart = 0, leftOut = 0;
        std::list<std::string>::iterator age;
    };
    Entry& entry(const std::string& key, long long nowMs, bool& fresh);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> ages_; // most recently seen first
    double tokens_ = kNoiseBurst;
    long long refilledMs_ = 0, forgotten_ = 0;
};

} // namespace pelmora::server
