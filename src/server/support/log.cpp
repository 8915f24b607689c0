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

bool RepeatLimiter::Budget::take(long long nowMs)
{
    tokens = std::min(burst, tokens + (nowMs - refilledMs) * perSecond / 1000);
    refilledMs = nowMs;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
}

void RepeatLimiter::LeftOut::count(const std::string& kind, long long nowMs)
{
    if (byKind.empty()) sinceMs = nowMs;
    // The kinds are the code's own few; a bound all the same.
    if (byKind.size() < 16 || byKind.count(kind)) ++byKind[kind];
}

std::string RepeatLimiter::LeftOut::summary(const char* what, long long nowMs)
{
    if (byKind.empty() || nowMs - summarizedMs < kTraceSummaryMs) return "";
    long long all = 0;
    std::string kinds;
    for (const auto& [kind, count] : byKind) {
        all += count;
        kinds += (kinds.empty() ? ": " : ", ") + std::to_string(count) + " " + kind;
    }
    const long long seconds = (nowMs - sinceMs + 999) / 1000;
    byKind.clear();
    summarizedMs = nowMs;
    return std::to_string(all) + (all == 1 ? " line" : " lines") + " of " + what +
           " left out over the log's budget in the last " + std::to_string(seconds) + " s" + kinds;
}

bool RepeatLimiter::pass(const std::string& kind, const std::string& subject, Repeat what, long long nowMs,
                         std::string& note, std::string& summary)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (what == Repeat::accepted) { // each line its own event: only the budget
        if (!accepted_.take(nowMs)) {
            acceptedLeftOut_.count(kind, nowMs);
            return false;
        }
        summary = acceptedLeftOut_.summary("the units and machines taken", nowMs);
        note.clear();
        return true;
    }
    bool fresh = false;
    Entry& e = entry(kind + '\n' + subject, nowMs, fresh);
    if (nowMs - e.windowStart < kWindowMs) {
        ++e.leftOut;
        return false;
    }
    // Over the budget, the line's window is not begun: the subject's next one tries again.
    if (what == Repeat::noise && !noise_.take(nowMs)) {
        ++e.leftOut;
        return false;
    }
    if (what == Repeat::trace && !trace_.take(nowMs)) {
        traceLeftOut_.count(kind, nowMs);
        return false;
    }
    summary = what == Repeat::trace ? traceLeftOut_.summary("the address trace", nowMs) : "";
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
    std::string note, summary;
    if (!limiter.pass(kind, subject, what, nowMs, note, summary)) return;
    if (!summary.empty()) logEvent(Level::warn, summary);
    logEvent(level, text + note);
}

} // namespace pelmora::server
