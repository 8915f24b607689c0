#pragma once
// unitinfo.txt as a version 6 client writes it. The bridge and the
// simulated version 6 client write it through this one writer.
#include <ctime>
#include <string>

#include "bridge/local_time.h"

namespace pelmora::bridge {

struct UnitInfo {
    std::string name, tag;
    std::string downloaded, due; // as unitInfoDate gives them; "" leaves the line out
    int percent = 0;             // whole percent, 0..100
};

// The file's text. A version 6 client puts one space between the percent
// and the bar, one '|' for each full ten percent and '_' for the rest.
std::string unitInfoText(const UnitInfo& unit);

// A time as the file shows it ("January 5 08:40:03"); "" when the system cannot show it.
inline std::string unitInfoDate(time_t when) { return localTimeText(when, LocalTimeForm::unitFile); }

// Replaces path with text through a temporary file in the same directory,
// only when its content differs. 1 written, 0 already so, -1 failed (the old
// file stays as it was).
int replaceFileIfChanged(const std::string& path, const std::string& text);

} // namespace pelmora::bridge
