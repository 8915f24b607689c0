// simulated-client: stands in for a Folding@home client, for the demo and
// the tests. Every interval it moves the unit in CLIENT_DIR/unitinfo.txt on by
// STEP percent; after a unit has shown 100% it starts a new one, with the
// next project of the project table (CLIENT_DIR/pelmora/database.txt). The
// file is written as pelmora-bridge writes it (one writer, in the version 6
// layout), whole under another name and renamed over the old one, so a
// reader never sees half of it. SIGTERM or SIGINT end it cleanly.
//
//   simulated-client INTERVAL_SECONDS CLIENT_DIR [STEP_PERCENT]
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/unitinfo_writer.h"

namespace {
constexpr int kDefaultStep = 10;
constexpr int kDaysToDue = 14;

// Projects to fall back on when the client directory has no project table.
const int kBuiltInProjects[] = {2665, 3697, 6648, 7284};

const char* const kProteins[] = {
    "Villin_headpiece", "Trp_cage_fold", "BBA5_zinc_free", "Abeta_oligomer",
    "Lambda_repressor", "WW_domain_fip35", "Ubiquitin_unfold", "Protein_G_hairpin",
};

struct Unit {
    int project = 0;
    int run = 0;
    std::string name;
    std::string tag;
    std::string downloaded; // "March 3 08:14:52"
    std::string due;
    int progress = 0;
};

std::string unitFileText(const Unit& unit)
{
    pelmora::bridge::UnitInfo info;
    info.name = unit.name;
    info.tag = unit.tag;
    info.downloaded = unit.downloaded;
    info.due = unit.due;
    info.percent = unit.progress;
    return pelmora::bridge::unitInfoText(info);
}

// The value after "key" at the start of a line of the unit file.
bool lineValue(const std::string& text, const std::string& key, std::string& value)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, key.size(), key) != 0) continue;
        value = line.substr(key.size());
        return true;
    }
    return false;
}

// The unit the directory already holds, so the demo carries on from it.
bool readUnit(const std::string& path, Unit& unit)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    std::string progress;
    if (!lineValue(text.str(), "Name: ", unit.name) || !lineValue(text.str(), "Progress: ", progress)) return false;
    lineValue(text.str(), "Tag: ", unit.tag);
    lineValue(text.str(), "Download time: ", unit.downloaded);
    lineValue(text.str(), "Due time: ", unit.due);
    unit.progress = std::atoi(progress.c_str());
    if (unit.name.size() > 1 && unit.name[0] == 'p') unit.project = std::atoi(unit.name.c_str() + 1);
    const size_t run = unit.name.rfind("_R");
    if (run != std::string::npos) unit.run = std::atoi(unit.name.c_str() + run + 2);
    return true;
}

std::vector<int> readProjects(const std::string& path)
{
    std::vector<int> projects;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const int project = std::atoi(line.c_str());
        if (project > 0) projects.push_back(project);
    }
    if (projects.empty()) projects.assign(std::begin(kBuiltInProjects), std::end(kBuiltInProjects));
    return projects;
}

// The next project of the table after the one just finished.
Unit nextUnit(const Unit& finished, const std::vector<int>& projects, int serial)
{
    size_t index = 0;
    for (size_t i = 0; i < projects.size(); ++i)
        if (projects[i] == finished.project) index = i + 1;
    Unit unit;
    unit.project = projects[index % projects.size()];
    unit.run = finished.run + 1;
    const size_t protein = static_cast<size_t>(unit.project) % (sizeof kProteins / sizeof kProteins[0]);
    unit.name = "p" + std::to_string(unit.project) + "_" + kProteins[protein] + "_R" + std::to_string(unit.run);
    unit.tag = "P" + std::to_string(unit.project) + "R" + std::to_string(unit.run) + "C" +
               std::to_string(unit.project % 97) + "G" + std::to_string(serial);
    const time_t now = std::time(nullptr);
    unit.downloaded = pelmora::bridge::unitInfoDate(now);
    unit.due = pelmora::bridge::unitInfoDate(now + kDaysToDue * 24 * 60 * 60);
    unit.progress = 0;
    return unit;
}

bool writeAtomically(const std::string& directory, const std::string& text)
{
    return pelmora::bridge::replaceFileIfChanged(directory + "/unitinfo.txt", text) >= 0;
}

bool parseSeconds(const char* text, struct timespec& interval)
{
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (!end || *end != '\0' || !(seconds > 0) || seconds > 86400) return false;
    interval.tv_sec = static_cast<time_t>(seconds);
    interval.tv_nsec = static_cast<long>((seconds - static_cast<double>(interval.tv_sec)) * 1e9);
    return true;
}

int usage()
{
    std::fputs("usage: simulated-client INTERVAL_SECONDS CLIENT_DIR [STEP_PERCENT]\n", stderr);
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    struct timespec interval;
    if (argc < 3 || argc > 4 || !parseSeconds(argv[1], interval)) return usage();
    const std::string directory = argv[2];
    const int step = argc == 4 ? std::atoi(argv[3]) : kDefaultStep;
    if (step < 1 || step > 100) return usage();

    // The signals that end the program wait, blocked, for the pause between
    // steps, so a write is never cut short.
    sigset_t endings;
    sigemptyset(&endings);
    sigaddset(&endings, SIGTERM);
    sigaddset(&endings, SIGINT);
    sigprocmask(SIG_BLOCK, &endings, nullptr);

    const std::vector<int> projects = readProjects(directory + "/pelmora/database.txt");
    int serial = 1;
    Unit unit;
    if (!readUnit(directory + "/unitinfo.txt", unit)) {
        unit = nextUnit(Unit{}, projects, serial++);
        if (!writeAtomically(directory, unitFileText(unit))) {
            std::fprintf(stderr, "simulated-client: cannot write %s/unitinfo.txt: %s\n", directory.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    for (;;) {
        const int received = sigtimedwait(&endings, nullptr, &interval);
        if (received == SIGTERM || received == SIGINT) return 0;
        if (received < 0 && errno == EINTR) continue;
        if (unit.progress >= 100)
            unit = nextUnit(unit, projects, serial++);
        else
            unit.progress = unit.progress + step > 100 ? 100 : unit.progress + step;
        if (!writeAtomically(directory, unitFileText(unit)))
            std::fprintf(stderr, "simulated-client: cannot write %s/unitinfo.txt: %s\n", directory.c_str(),
                         std::strerror(errno));
    }
}
