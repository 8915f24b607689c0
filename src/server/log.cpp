#include "server/log.h"
#include "server/iso_time.h"
#include "server/text_safety.h"

#include <atomic>
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
