// The unit followed, as the unit file of a version 6 client and a record of
// the monitor's project table.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/bridge.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace bridge {

namespace {
// A whole number, given as a number or as a string of digits (v7 gives
// some figures as strings).
bool wholeNumber(const Json& value, long long& out)
{
    if (value.is_number_integer()) {
        out = value.get<long long>();
        return true;
    }
    if (value.is_number_unsigned()) return false; // past long long
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > 18) return false;
    char* end = nullptr;
    out = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0';
}

bool decimalNumber(const Json& value, double& out)
{
    if (value.is_number()) {
        out = value.get<double>();
        return std::isfinite(out);
    }
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != text.c_str() && (*end == '\0' || *end == '%') && std::isfinite(out);
}

const Json& member(const Json& object, const char* key)
{
    static const Json kNothing;
    if (!object.is_object()) return kNothing;
    auto found = object.find(key);
    return found == object.end() ? kNothing : *found;
}

std::string text(const Json& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

// The four numbers of a unit's name: all there and not negative.
bool takeNumbers(const Json& project, const Json& run, const Json& clone, const Json& gen, UnitFacts& facts)
{
    return wholeNumber(project, facts.project) && wholeNumber(run, facts.run) && wholeNumber(clone, facts.clone) &&
           wholeNumber(gen, facts.gen) && facts.project > 0 && facts.run >= 0 && facts.clone >= 0 && facts.gen >= 0;
}

int wholePercent(double percent)
{
    // Whole percent reached; the small margin keeps 0.29 of a unit at 29%
    // (0.29 * 100 is 28.999... in binary).
    const double whole = std::floor(percent + 1e-6);
    if (!(whole > 0)) return 0;
    return whole >= 100 ? 100 : static_cast<int>(whole);
}

// A word of the project table: no white space inside.
std::string word(std::string text, const char* empty)
{
    for (char& c : text)
        if (static_cast<unsigned char>(c) <= ' ') c = '_';
    return text.empty() ? empty : text;
}

// The first unit of the list that passes inGroup and whose state is one of
// states (each between spaces).
const Json* firstUnit(const Json& units, bool (*inGroup)(const Json&, const void*), const void* group,
                      const char* states)
{
    if (!units.is_array()) return nullptr;
    for (const Json& unit : units) {
        const std::string state = ' ' + text(member(unit, "state")) + ' ';
        if (state.size() > 2 && std::strstr(states, state.c_str()) && inGroup(unit, group)) return &unit;
    }
    return nullptr;
}

bool inV8Group(const Json& unit, const void* group)
{
    return text(member(unit, "group")) == *static_cast<const std::string*>(group);
}

bool inV7Slot(const Json& unit, const void* slot)
{
    const int wanted = *static_cast<const int*>(slot);
    long long number = -1;
    return wanted < 0 || (wholeNumber(member(unit, "slot"), number) && number == wanted);
}

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

std::string localDate(time_t when)
{
    const std::tm* local = std::localtime(&when);
    if (!local) return std::string();
    char line[64];
    std::snprintf(line, sizeof line, "%s %d %02d:%02d:%02d", kMonths[local->tm_mon % 12], local->tm_mday,
                  local->tm_hour, local->tm_min, local->tm_sec);
    return line;
}

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
} // namespace

time_t parseUtc(const std::string& text)
{
    int year, month, day, hour, minute, second;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &zone) <
        6)
        return 0;
    if (year < 1970 || year > 2999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        hour < 0 || minute < 0 || second < 0 || (zone != 0 && zone != 'Z'))
        return 0;
    // Days since 1970-01-01 of a proleptic Gregorian date.
    const int y = year - (month <= 2);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097LL + dayOfEra - 719468;
    return static_cast<time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

bool chooseV8Unit(const Json& state, const std::string& group, UnitFacts& facts)
{
    const Json& units = member(state, "units");
    const Json* unit = firstUnit(units, inV8Group, &group, " RUN ");
    if (!unit) unit = firstUnit(units, inV8Group, &group, " ASSIGN DOWNLOAD CORE ");
    if (!unit) return false;
    const Json& assignment = member(*unit, "assignment");
    const Json& wu = member(*unit, "wu");
    facts = UnitFacts();
    if (!takeNumbers(member(assignment, "project"), member(wu, "run"), member(wu, "clone"), member(wu, "gen"), facts))
        return false;
    facts.assigned = parseUtc(text(member(assignment, "time")));
    long long deadline = 0;
    if (facts.assigned && wholeNumber(member(assignment, "deadline"), deadline) && deadline > 0 &&
        deadline < 100LL * 365 * 86400)
        facts.due = facts.assigned + static_cast<time_t>(deadline);
    double fraction = 0;
    // Clients before 8.4 kept the unit's progress in "progress".
    if (decimalNumber(member(*unit, "wu_progress"), fraction) || decimalNumber(member(*unit, "progress"), fraction))
        facts.percent = wholePercent(fraction * 100.0);
    double credit = 0;
    if (decimalNumber(member(assignment, "credit"), credit) && credit >= 0) facts.points = credit;
    facts.core = text(member(member(assignment, "core"), "type"));
    facts.server = text(member(assignment, "ws"));
    return true;
}

bool chooseV7Unit(const Json& units, int slot, UnitFacts& facts)
{
    const Json* unit = firstUnit(units, inV7Slot, &slot, " RUNNING FINISHING ");
    if (!unit) unit = firstUnit(units, inV7Slot, &slot, " READY DOWNLOAD ");
    if (!unit) return false;
    facts = UnitFacts();
    if (!takeNumbers(member(*unit, "project"), member(*unit, "run"), member(*unit, "clone"), member(*unit, "gen"),
                     facts))
        return false;
    facts.assigned = parseUtc(text(member(*unit, "assigned")));
    facts.due = parseUtc(text(member(*unit, "deadline")));
    double percent = 0;
    if (decimalNumber(member(*unit, "percentdone"), percent)) facts.percent = wholePercent(percent);
    long long frames = 0;
    if (wholeNumber(member(*unit, "totalframes"), frames) && frames > 0) facts.frames = frames;
    double credit = 0;
    if (decimalNumber(member(*unit, "basecredit"), credit) && credit >= 0) facts.points = credit;
    facts.core = text(member(*unit, "core"));
    if (facts.core == "unknown") facts.core.clear();
    facts.server = text(member(*unit, "ws"));
    return true;
}

std::string unitFileText(const UnitFacts& facts)
{
    char line[256];
    std::string out = "Current Work Unit\n-----------------\n";
    std::snprintf(line, sizeof line, "Name: p%lld_R%lld_C%lld_G%lld\nTag: P%lldR%lldC%lldG%lld\n", facts.project,
                  facts.run, facts.clone, facts.gen, facts.project, facts.run, facts.clone, facts.gen);
    out += line;
    // A time the system cannot show leaves its line out (an empty one would
    // have the monitor read the next line's words as the date).
    const std::string downloaded = facts.assigned ? localDate(facts.assigned) : std::string();
    const std::string due = facts.due ? localDate(facts.due) : std::string();
    if (!downloaded.empty()) out += "Download time: " + downloaded + "\n";
    if (!due.empty()) out += "Due time: " + due + "\n";
    const int bars = facts.percent / 10;
    std::snprintf(line, sizeof line, "Progress: %d%% [%s%s]\n", facts.percent, std::string(bars, '|').c_str(),
                  std::string(10 - bars, '_').c_str());
    return out + line;
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
#ifdef _WIN32
    // The monitor holds the file open for a moment at each poll, and Windows
    // will not replace an open file: try again a few times.
    bool moved = false;
    for (int attempt = 0; attempt < 20 && !moved; ++attempt) {
        moved = MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        if (!moved) Sleep(25);
    }
#else
    const bool moved = std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
    if (!moved) {
        std::remove(temporary.c_str());
        return -1;
    }
    return 1;
}

std::string projectRecord(const UnitFacts& facts)
{
    if (facts.points < 0 || facts.core.empty()) return std::string();
    char record[512];
    std::snprintf(record, sizeof record, "%lld %s 0 0.00 0.00 %.2f %lld %s\n", facts.project,
                  word(facts.server.substr(0, 100), "-").c_str(), facts.points, facts.frames > 0 ? facts.frames : 100,
                  word(facts.core.substr(0, 100), "-").c_str());
    return record;
}

int addProject(const std::string& database, const UnitFacts& facts)
{
    const std::string record = projectRecord(facts);
    if (record.empty()) return 0;
    bool endsInLine = true;
    if (FILE* file = std::fopen(database.c_str(), "r")) {
        // The records as the monitor reads them: eight fields each, up to the
        // first that does not fit.
        for (;;) {
            long long key = 0;
            int used = -1;
            if (std::fscanf(file, "%lld %*s %*d %*f %*f %*f %*d %*s%n", &key, &used) != 1 || used < 0) break;
            if (key == facts.project) {
                std::fclose(file);
                return 0;
            }
        }
        if (std::fseek(file, -1, SEEK_END) == 0) endsInLine = std::fgetc(file) == '\n';
        std::fclose(file);
    }
    FILE* file = std::fopen(database.c_str(), "a");
    if (!file) return -1;
    const std::string lines = (endsInLine ? "" : "\n") + record;
    const bool written = std::fwrite(lines.data(), 1, lines.size(), file) == lines.size();
    return std::fclose(file) == 0 && written ? 1 : -1;
}

bool Follower::follow(bool found, const UnitFacts& facts)
{
    if (!found) return false;
    const std::string content = unitFileText(facts);
    bool written = content == lastText;
    if (!written) {
        const std::string path = options.out + "/unitinfo.txt";
        const int result = replaceFileIfChanged(path, content);
        written = result >= 0;
        failed = result < 0;
        if (result > 0)
            logLine("unit file: p" + std::to_string(facts.project) + "_R" + std::to_string(facts.run) + "_C" +
                    std::to_string(facts.clone) + "_G" + std::to_string(facts.gen) + " at " +
                    std::to_string(facts.percent) + "%");
        else if (result < 0)
            logLine("cannot replace " + path);
        if (written) lastText = content;
    }
    if (!options.database.empty() && !projectsKnown.count(facts.project)) {
        const int result = addProject(options.database, facts);
        if (result > 0) logLine("project " + std::to_string(facts.project) + " added to " + options.database);
        if (result < 0) logLine("cannot add to " + options.database);
        if (result > 0 || (result == 0 && !projectRecord(facts).empty())) projectsKnown.insert(facts.project);
    }
    return written;
}

} // namespace bridge
