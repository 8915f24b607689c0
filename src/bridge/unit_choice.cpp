// The unit to follow out of a client's units, and its facts.
#include "bridge/unit_choice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/unitinfo_writer.h"

namespace pelmora::bridge {

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

bool inStates(const Json& unit, const char* states)
{
    const std::string state = ' ' + text(member(unit, "state")) + ' ';
    return state.size() > 2 && std::strstr(states, state.c_str());
}

// The unit followed so far, when the list still has it in one of live
// states; else the first unit in one of states (each between spaces), most
// wanted first, that passes wanted.
template <class Pass>
const Json* pickUnit(const Json& units, const char* idKey, const std::string& followed, const char* live,
                     const char* const* states, Pass wanted)
{
    if (!units.is_array()) return nullptr;
    if (!followed.empty())
        for (const Json& unit : units)
            if (text(member(unit, idKey)) == followed && inStates(unit, live)) return &unit;
    for (; *states; ++states)
        for (const Json& unit : units)
            if (inStates(unit, *states) && wanted(unit)) return &unit;
    return nullptr;
}

bool inV8Group(const Json& unit, const Wanted& want)
{
    if (!want.anyGroup && text(member(unit, "group")) != want.group) return false;
    const Json& gpus = member(unit, "gpus");
    if (!want.gpu.empty())
        return gpus.is_array() && std::find(gpus.begin(), gpus.end(), Json(want.gpu)) != gpus.end();
    const bool gpu = gpus.is_array() && !gpus.empty();
    return want.kind == UnitKind::Any || gpu == (want.kind == UnitKind::Gpu);
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

bool chooseV8Unit(const Json& state, const Wanted& wanted, std::string& followed, UnitFacts& facts)
{
    static const char* const kOrder[] = {" RUN ", " ASSIGN DOWNLOAD CORE ", nullptr};
    const Json* unit = pickUnit(member(state, "units"), "id", followed, " ASSIGN DOWNLOAD CORE RUN ", kOrder,
                                [&](const Json& each) { return inV8Group(each, wanted); });
    if (!unit) {
        followed.clear();
        return false;
    }
    const Json& assignment = member(*unit, "assignment");
    const Json& wu = member(*unit, "wu");
    facts = UnitFacts();
    // Before its assignment a unit's id changes on every try.
    if (!takeNumbers(member(assignment, "project"), member(wu, "run"), member(wu, "clone"), member(wu, "gen"), facts))
        return followed.clear(), false;
    followed = text(member(*unit, "id"));
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

bool chooseV7Unit(const Json& units, int slot, std::string& followed, UnitFacts& facts)
{
    static const char* const kOrder[] = {" RUNNING FINISHING ", " READY DOWNLOAD ", nullptr};
    const Json* unit = pickUnit(units, "unit", followed, " READY DOWNLOAD RUNNING FINISHING ", kOrder, [&](const Json& each) {
        long long number = -1;
        return slot < 0 || (wholeNumber(member(each, "slot"), number) && number == slot);
    });
    if (!unit) {
        followed.clear();
        return false;
    }
    facts = UnitFacts();
    if (!takeNumbers(member(*unit, "project"), member(*unit, "run"), member(*unit, "clone"), member(*unit, "gen"),
                     facts))
        return followed.clear(), false;
    followed = text(member(*unit, "unit"));
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
    UnitInfo unit;
    char text[160];
    std::snprintf(text, sizeof text, "p%lld_R%lld_C%lld_G%lld", facts.project, facts.run, facts.clone, facts.gen);
    unit.name = text;
    std::snprintf(text, sizeof text, "P%lldR%lldC%lldG%lld", facts.project, facts.run, facts.clone, facts.gen);
    unit.tag = text;
    if (facts.assigned) unit.downloaded = unitInfoDate(facts.assigned);
    if (facts.due) unit.due = unitInfoDate(facts.due);
    unit.percent = facts.percent;
    return unitInfoText(unit);
}

} // namespace pelmora::bridge
