// unitinfo.txt as a version 6 client writes it, replaced in one step.
#include "bridge/unitinfo_writer.h"

#include <cstdio>

#include "platform/platform.h"

namespace pelmora::bridge {

namespace {
bool readWhole(const std::string& path, std::string& content)
{
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    char chunk[4096];
    size_t got;
    content.clear();
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    std::fclose(file);
    return true;
}

// The monitor holds the file open for a moment at each poll, and Windows
// will not replace an open file: a replacement tries again for half a second.
constexpr int kReplaceAttempts = 20;
constexpr unsigned kReplacePauseMs = 25;
} // namespace

std::string unitInfoText(const UnitInfo& unit)
{
    std::string out = "Current Work Unit\n-----------------\nName: " + unit.name + "\nTag: " + unit.tag + "\n";
    // A time the system cannot show leaves its line out (an empty one would
    // have the monitor read the next line's words as the date).
    if (!unit.downloaded.empty()) out += "Download time: " + unit.downloaded + "\n";
    if (!unit.due.empty()) out += "Due time: " + unit.due + "\n";
    const int percent = unit.percent < 0 ? 0 : unit.percent > 100 ? 100 : unit.percent;
    const int bars = percent / 10;
    return out + "Progress: " + std::to_string(percent) + "% [" + std::string(bars, '|') + std::string(10 - bars, '_') +
           "]\n";
}

int replaceFileIfChanged(const std::string& path, const std::string& content)
{
    std::string old;
    if (readWhole(path, old) && old == content) return 0;
    const std::string temporary = path + ".bridge-new";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return -1;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(temporary.c_str());
        return -1;
    }
    bool moved = false;
    for (int attempt = 0; attempt < kReplaceAttempts && !moved; ++attempt) {
        if (attempt > 0) platform().sleepMilliseconds(kReplacePauseMs);
        moved = platform().replaceFile(temporary.c_str(), path.c_str());
    }
    if (!moved) {
        std::remove(temporary.c_str());
        return -1;
    }
    return 1;
}

} // namespace pelmora::bridge
