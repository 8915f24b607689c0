#include "server/support/log.h"
#include "server/support/iso_time.h"
#include "server/support/text_safety.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <unistd.h>

namespace pelmora::server {
namespace {
std::atomic<int> lowestLevel{static_cast<int>(Level::info)};
const char* const kNames[] = {"debug", "info", "warn", "error"};
} // namespace

void setLogLevel(Level lowest) { lowestLevel = static_cast<int>(lowest); }

bool logLevelFromName(const std::string& name, Level& level)
{
    for (int i = 0; i < 4; ++i)
        if (name == kNames[i]) {
            level = static_cast<Level>(i);
            return true;
        }
    return false;
}

bool logs(Level level) { return static_cast<int>(level) >= lowestLevel; }

void logEvent(Level level, const std::string& text)
{
    if (static_cast<int>(level) < lowestLevel) return;
    std::string line = isoTime(std::time(nullptr)) + ' ' + kNames[static_cast<int>(level)] + ' ';
    // One event, one line: a newline inside the text cannot start a forged
    // one, nor can a control or bidirectional character hide or turn text.
    line += escapeForLog(text);
    line += '\n';
    // One write, so lines from different threads never mix.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

} // namespace pelmora::server

namespace pelmora::server {

RepeatLimiter::Entry& RepeatLimiter::entry(const std::string& key, long long nowMs, bool& fresh)
{
    auto it = entries_.find(key);
    fresh = it == entries_.end();
    if (!fresh) {
        ages_.splice(ages_.begin(), ages_, it->second.age);
        return it->second;
    }
    if (entries_.size() >= kMostKeys) {
        const auto oldest = entries_.find(ages_.back());
        forgotten_ += oldest->second.leftOut;
        entries_.erase(oldest);
        ages_.pop_back();
    }
    ages_.push_front(key);
    Entry& made = entries_[key];
    made.age = ages_.begin();
    made.windowStart = nowMs - kWindowMs; // no window yet
    return made;
}

bool RepeatLimiter::pass(const std::string& key, Repeat what, long long nowMs, std::string& note)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bool fresh = false;
    Entry& e = entry(key, nowMs, fresh);
    if (nowMs - e.windowStart < kWindowMs) {
        ++e.leftOut;
        return false;
    }
    if (what == Repeat::noise) {
        tokens_ = std::min(kNoiseBurst, tokens_ + (nowMs - refilledMs_) * kNoisePerSecond / 1000);
        refilledMs_ = nowMs;
        if (tokens_ < 1) {
            ++e.leftOut; // its window not begun: the next one tries again
            return false;
        }
        tokens_ -= 1;
    }
    note.clear();
    if (e.leftOut > 0) note = " (and " + std::to_string(e.leftOut) + " more like it left out)";
    if (forgotten_ > 0) note += " (" + std::to_string(forgotten_) + " lines of other kinds left out)";
    forgotten_ = 0;
    e.leftOut = 0;
    e.windowStart = nowMs;
    return true;
}

void logRepeated(Level level, Repeat what, const std::string& kind, const std::string& subject,
                 const std::string& text)
{
    static RepeatLimiter limiter;
    const long long nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    std::string note;
    if (limiter.pass(kind + '\n' + subject, what, nowMs, note)) logEvent(level, text + note);
}

} // namespace pelmora::server
