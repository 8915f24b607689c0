// The server's log: standard error, one line an event, with its level.
#pragma once

#include <string>

namespace pelmora::server {

enum class Level { debug, info, warn, error };

void setLogLevel(Level lowest);
bool logLevelFromName(const std::string& name, Level& level);
void logEvent(Level level, const std::string& text);

} // namespace pelmora::server
