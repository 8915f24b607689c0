#include "server/fleet/json_shapes.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <variant>

#include "server/store/machine_fields.h"

namespace pelmora::server {
namespace {

Json timeOrNull(long long seconds) { return seconds ? Json(isoTime(seconds)) : Json(); }
Json textOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }
template <typename T>
Json valueOrNull(const std::optional<T>& value)
{
    return value ? Json(*value) : Json();
}

using M = const MachineRow&;
using S = const MachineStatus&;

// The fields worked out when asked (machine_fields.h's derived ones), by key.
const struct {
    std::string_view key;
    Json (*value)(S);
} kDerived[] = {
    {"status", [](S s) -> Json { return s.status; }},
    {"progress_per_hour", [](S s) { return valueOrNull(s.progressPerHour); }},
    {"eta", [](S s) { return s.eta ? Json(isoTime(*s.eta)) : Json(); }},
    {"ppd", [](S s) { return valueOrNull(s.pointsPerDay); }},
    {"muted_until", [](S s) { return s.mutedUntil ? Json(isoTime(*s.mutedUntil)) : Json(); }},
};

// A field the API shows, in the order of machine_fields.h.
struct ShownField {
    const MachineField* field;
    Json (*derived)(S) = nullptr;
};

const std::vector<ShownField>& shownFields()
{
    static const std::vector<ShownField> shown = [] {
        std::vector<ShownField> out;
        for (const MachineField& f : kMachineFields) {
            if (f.shown == Shown::no) continue;
            ShownField& field = out.emplace_back(ShownField{&f});
            if (f.shown != Shown::derived) continue;
            for (const auto& d : kDerived)
                if (d.key == f.key) field.derived = d.value;
            if (!field.derived) throw std::logic_error(std::string("nothing works out the machine's ") + f.key);
        }
        return out;
    }();
    return shown;
}

template <typename T>
const T& member(const MachineField& f, M m)
{
    return m.*std::get<T MachineRow::*>(f.member);
}

Json fieldJson(const ShownField& shown, M m, S s)
{
    const MachineField& f = *shown.field;
    switch (f.shown) {
    case Shown::derived: return shown.derived(s);
    case Shown::time: return isoTime(member<long long>(f, m));
    case Shown::timeOrNull: return timeOrNull(member<long long>(f, m));
    case Shown::textOrNull: return textOrNull(member<std::string>(f, m));
    default:
        return std::visit(
            [&](auto p) -> Json {
                if constexpr (std::is_same_v<decltype(p), std::monostate>) return nullptr;
                else return m.*p;
            },
            f.member);
    }
}

void addFigure(Json& row, const Figure& f, int days)
{
    row["machines"] = f.machines;
    row["folding"] = f.folding;
    row["ppd"] = f.pointsPerDay;
    row["units"] = f.units;
    row["points"] = f.points;
    row["submitted_ppd"] = std::llround(static_cast<double>(f.points) / days);
}

} // namespace

std::string jsonText(const Json& body) { return body.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json errorJson(const std::string& reason) { return {{"error", reason}}; }

Json machineJson(const MachineRow& m, const MachineStatus& s)
{
    // The fleet's texts are made again at every change of a large fleet:
    // the keys are made once and copied, the values put in their places.
    static const Json keys = [] {
        Json object = Json::object();
        for (const ShownField& f : shownFields()) object[f.field->key] = nullptr;
        return object;
    }();
    Json object = keys;
    const ShownField* field = shownFields().data();
    for (auto& [key, value] : object.get_ref<Json::object_t&>()) value = fieldJson(*field++, m, s);
    return object;
}

Json commandJson(const CommandRow& c)
{
    return {{"cancelled_at", timeOrNull(c.cancelledAt)},
            {"cancelled_by", c.cancelledAt ? Json(c.cancelledBy) : Json()},
            {"command", c.command},
            {"delivered_at", timeOrNull(c.deliveredAt)},
            {"delivered_to", textOrNull(c.deliveredTo)},
            {"id", c.id},
            {"machine", c.machineId},
            {"requested_at", isoTime(c.requestedAt)},
            {"requested_by", c.requestedBy},
            {"status", c.state}};
}

Json unitJson(const UnitRow& r)
{
    const UnitSubmission& u = r.unit;
    return {{"at", isoTime(r.at)},
            {"core", u.core},
            {"cpu_mhz", u.cpuMhz},
            {"cpu_string", u.cpuString},
            {"cpu_vendor", u.cpuVendor},
            {"frame_minutes", u.frameMinutes},
            {"machine", u.machine},
            {"machine_id", valueOrNull(r.machineId)},
            {"memory_mib", u.memoryMib},
            {"points", r.points},
            {"protein", u.protein},
            {"team", u.team},
            {"user", u.user},
            {"wucount", u.wucount}};
}

Json cpuJson(const CpuSummary& c)
{
    return {{"average_frame_minutes", c.averageFrameMinutes},
            {"cpu_string", c.cpuString},
            {"cpu_vendor", c.cpuVendor},
            {"units", c.units}};
}

Json daySummaryJson(const DayUserSummary& s)
{
    return {{"day", s.day}, {"points", s.points}, {"units", s.units}, {"user", s.user}};
}

Json reportJson(const ReportRow& r)
{
    return {{"at", isoTime(r.at)}, {"in_tray", r.inTray}, {"progress", r.progress}, {"unit", r.unit},
            {"stopped", r.stopped}, {"silent_from", timeOrNull(r.silentFrom)}};
}

Json historyJson(long long hours, const std::vector<ReportRow>& reports, const std::optional<ReportRow>& before)
{
    Json list = Json::array();
    for (const ReportRow& r : reports) list.push_back(reportJson(r));
    return {{"hours", hours}, {"reports", std::move(list)}, {"before", before ? reportJson(*before) : Json()}};
}

Json pointsHistoryJson(const PointsHistory& history, long long days, long long currentPpd)
{
    Json daily = Json::array(), hourly = Json::array();
    for (const PointsDay& d : history.days)
        daily.push_back({{"day", isoTime(d.day * 86400).substr(0, 10)},
                         {"estimated_ppd", d.estimated ? Json(*d.estimated) : Json()},
                         {"points", d.points},
                         {"units", d.units}});
    for (const PointsHour& h : history.hours) hourly.push_back({{"at", isoTime(h.at)}, {"ppd", h.ppd}});
    return {{"current_ppd", currentPpd}, {"daily", std::move(daily)}, {"days", days}, {"hourly", std::move(hourly)}};
}

Json statusEventsJson(const std::vector<StatusEvent>& newestFirst)
{
    Json list = Json::array();
    long long until = 0;
    for (const StatusEvent& e : newestFirst) {
        list.push_back({{"at", isoTime(e.at)}, {"status", e.status}, {"until", timeOrNull(until)}});
        until = e.at;
    }
    return {{"events", std::move(list)}};
}

Json alertJson(const AlertRow& a)
{
    return {{"id", a.id},
            {"machine_id", a.machineId},
            {"machine", a.machine},
            {"kind", a.kind},
            {"raised_at", isoTime(a.raisedAt)},
            {"resolved_at", timeOrNull(a.resolvedAt)}};
}

Json removedMachineJson(long long id, const MachineRow& removed)
{
    return {{"cpu", removed.cpu}, {"name", removed.name}, {"removed", id}};
}

Json clearedAddressJson(long long id, const std::string& address)
{
    return {{"cleared_address", address}, {"machine", id}};
}

Json movedAddressJson(long long id, const std::string& address, const std::string& before)
{
    return {{"address", address}, {"machine", id}, {"moved_from", before}};
}

Json muteJson(long long id, long long until)
{
    return {{"id", id}, {"muted_until", until > 0 ? Json(isoTime(until)) : Json(nullptr)}};
}

Json waitingJson(const WaitingRow& w)
{
    return {{"id", w.id},           {"name", w.name},       {"cpu", w.cpu},
            {"user", w.user},       {"team", w.team},       {"unit", w.unit},
            {"address", w.address}, {"first_seen", isoTime(w.firstSeen)}, {"last_seen", isoTime(w.lastSeen)},
            {"other_address", w.otherAt ? Json(w.otherAddress) : Json()},
            {"other_seen", timeOrNull(w.otherAt)}};
}

Json approvalJson(const Approval& a)
{
    Json approved = Json::array();
    for (const MachineRow& m : a.approved)
        approved.push_back({{"id", m.id}, {"name", m.name}, {"cpu", m.cpu}, {"address", m.address}});
    return {{"approved", std::move(approved)}, {"refused", listJson("waiting", a.refused, waitingJson)["waiting"]}};
}

Json sessionJson(const SessionRow* session, bool viewerTokenRequired)
{
    return {{"csrf", session ? Json(session->csrf) : Json()},
            {"role", session ? Json(session->role) : Json()},
            {"signed_in", session != nullptr},
            {"viewer_token_required", viewerTokenRequired}};
}

Json teamFiguresJson(const TeamFigures& figures, int days)
{
    std::vector<std::pair<int, const Figure*>> teams;
    for (const auto& [team, f] : figures.teams) teams.emplace_back(team, &f);
    std::stable_sort(teams.begin(), teams.end(), [](const auto& a, const auto& b) {
        return a.second->pointsPerDay > b.second->pointsPerDay; // the map gave them by number
    });
    std::vector<std::pair<const std::pair<std::string, int>*, const Figure*>> users;
    for (const auto& [key, f] : figures.users) users.emplace_back(&key, &f);
    std::stable_sort(users.begin(), users.end(), [](const auto& a, const auto& b) {
        return a.second->pointsPerDay > b.second->pointsPerDay; // the map gave them by name, then team
    });

    Json out;
    out["days"] = days;
    addFigure(out["fleet"], figures.fleet, days);
    out["teams"] = Json::array();
    for (const auto& [team, f] : teams) {
        Json row;
        row["team"] = team;
        addFigure(row, *f, days);
        out["teams"].push_back(std::move(row));
    }
    out["users"] = Json::array();
    for (const auto& [key, f] : users) {
        Json row;
        row["user"] = key->first;
        row["team"] = key->second;
        addFigure(row, *f, days);
        out["users"].push_back(std::move(row));
    }
    return out;
}

} // namespace pelmora::server
