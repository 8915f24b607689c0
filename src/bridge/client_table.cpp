// The client's groups, GPUs and units in a few lines.
#include "bridge/client_table.h"

#include <cstdio>
#include <set>

#include "bridge/local_time.h"

namespace pelmora::bridge {

namespace {
const Json& at(const Json& object, const char* key)
{
    static const Json kNothing;
    if (!object.is_object()) return kNothing;
    auto found = object.find(key);
    return found == object.end() ? kNothing : *found;
}

std::string text(const Json& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

std::string groupName(const std::string& group) { return group.empty() ? "(default)" : group; }

// The GPUs the client names: in its info, its groups' settings, its units.
std::set<std::string> gpusOf(const Json& state)
{
    std::set<std::string> gpus;
    const auto take = [&](const Json& object) {
        if (object.is_object())
            for (auto it = object.begin(); it != object.end(); ++it) gpus.insert(it.key());
    };
    take(at(at(state, "info"), "gpus"));
    const Json& groups = at(state, "groups");
    if (groups.is_object())
        for (const Json& group : groups) take(at(at(group, "config"), "gpus"));
    const Json& units = at(state, "units");
    if (units.is_array())
        for (const Json& unit : units)
            for (const Json& gpu : at(unit, "gpus").is_array() ? at(unit, "gpus") : Json::array())
                if (gpu.is_string()) gpus.insert(gpu.get<std::string>());
    return gpus;
}

std::string groupsOf(const Json& state)
{
    std::string names;
    const Json& groups = at(state, "groups");
    if (groups.is_object())
        for (auto it = groups.begin(); it != groups.end(); ++it) names += (names.empty() ? "" : ", ") + groupName(it.key());
    return names.empty() ? "none" : names;
}

std::string joined(const std::set<std::string>& names)
{
    std::string all;
    for (const std::string& name : names) all += (all.empty() ? "" : ", ") + name;
    return all.empty() ? "none" : all;
}

std::string row(const std::string& group, const std::string& kind, const std::string& gpus, const std::string& state,
                const std::string& progress, const std::string& project, const std::string& due)
{
    char line[512];
    std::snprintf(line, sizeof line, "%-12s %-4s %-16s %-9s %-8s %-24s %s\n", group.c_str(), kind.c_str(), gpus.c_str(),
                  state.c_str(), progress.c_str(), project.c_str(), due.c_str());
    return line;
}

std::string headings() { return row("group", "kind", "GPUs", "state", "progress", "unit", "due"); }

std::string dueText(const UnitFacts& facts)
{
    return facts.due ? localTimeText(facts.due, LocalTimeForm::log) : "-";
}

std::string unitName(const UnitFacts& facts)
{
    char name[128];
    std::snprintf(name, sizeof name, "p%lld_R%lld_C%lld_G%lld", facts.project, facts.run, facts.clone, facts.gen);
    return name;
}
} // namespace

std::string v8Table(const Json& state)
{
    std::string table = "groups: " + groupsOf(state) + "\nGPUs:   " + joined(gpusOf(state)) + "\n\n" + headings();
    const Json& units = at(state, "units");
    for (const Json& unit : units.is_array() ? units : Json::array()) {
        std::string gpus;
        const Json& list = at(unit, "gpus");
        for (const Json& gpu : list.is_array() ? list : Json::array()) gpus += (gpus.empty() ? "" : ",") + text(gpu);
        // The unit's facts as the bridge would write them, read alone.
        Wanted wanted;
        wanted.anyGroup = true;
        std::string followed = text(at(unit, "id"));
        UnitFacts facts;
        const bool assigned = !followed.empty() && chooseV8Unit(Json{{"units", Json::array({unit})}}, wanted, followed, facts);
        table += row(groupName(text(at(unit, "group"))), gpus.empty() ? "cpu" : "gpu", gpus.empty() ? "-" : gpus,
                     text(at(unit, "state")), assigned ? std::to_string(facts.percent) + "%" : "-",
                     assigned ? unitName(facts) : "(not assigned)", assigned ? dueText(facts) : "-");
    }
    if (!units.is_array() || units.empty()) table += "(no units)\n";
    return table;
}

std::string v7Table(const Json& units)
{
    std::string table = headings();
    for (const Json& unit : units.is_array() ? units : Json::array()) {
        std::string followed;
        UnitFacts facts;
        const std::string state = text(at(unit, "state"));
        // Read alone, as if running, to have its facts whatever its state.
        Json alone = unit;
        alone["state"] = "RUNNING";
        const bool assigned = chooseV7Unit(Json::array({alone}), -1, followed, facts);
        table += row("slot " + text(at(unit, "slot")), "-", "-", state, assigned ? std::to_string(facts.percent) + "%" : "-",
                     assigned ? unitName(facts) : "(not assigned)", assigned ? dueText(facts) : "-");
    }
    if (!units.is_array() || units.empty()) table += "(no units)\n";
    return table;
}

std::string missingFromClient(const Json& state, const Wanted& wanted)
{
    const Json& groups = at(state, "groups");
    // The default group is always there.
    if (!wanted.anyGroup && !wanted.group.empty() && !(groups.is_object() && groups.contains(wanted.group)))
        return "the client has no group " + groupName(wanted.group) + " (its groups: " + groupsOf(state) + ")";
    const std::set<std::string> gpus = gpusOf(state);
    if (!wanted.gpu.empty() && !gpus.count(wanted.gpu))
        return "the client has no GPU " + wanted.gpu + " (its GPUs: " + joined(gpus) + ")";
    return "";
}

} // namespace pelmora::bridge
