#include "server/support/iso_time.h"

#include <ctime>

namespace pelmora::server {

std::string isoTime(long long seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace pelmora::server
