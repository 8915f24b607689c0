#include "bridge/local_time.h"

#include <cstdio>

namespace pelmora::bridge {

namespace {
// Not strftime's %B: the unit file's month names are English whatever the locale.
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
} // namespace

std::string localTimeText(time_t when, LocalTimeForm form)
{
    const std::tm* local = std::localtime(&when);
    if (!local) return std::string();
    char text[64];
    if (form == LocalTimeForm::log)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    else
        std::snprintf(text, sizeof text, "%s %d %02d:%02d:%02d", kMonths[local->tm_mon % 12], local->tm_mday,
                      local->tm_hour, local->tm_min, local->tm_sec);
    return text;
}

} // namespace pelmora::bridge
