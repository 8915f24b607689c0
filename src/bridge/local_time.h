#pragma once
// Local times as the bridge writes them: its log lines and the unit file.
#include <ctime>
#include <string>

namespace pelmora::bridge {

enum class LocalTimeForm {
    log,      // "2026-01-05 08:40:03"
    unitFile, // "January 5 08:40:03", without year or zone, as a version 6 client writes it
};

// WHEN in local time, in FORM; "" when the system cannot show it.
std::string localTimeText(time_t when, LocalTimeForm form);

} // namespace pelmora::bridge
