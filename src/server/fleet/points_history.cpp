#include "server/fleet/points_history.h"

#include <algorithm>

#include "server/fleet/json_shapes.h"
#include "server/fleet/team_figures.h"
#include "server/support/defaults.h"

namespace pelmora::server {

std::vector<PointsSample> pointsSamples(const std::vector<MachineRow>& machines, long long now,
                                        const StatusLimits& limits)
{
    const TeamFigures figures = teamFigures(machines, {}, now, limits);
    std::vector<PointsSample> out;
    out.push_back({{}, figures.fleet.pointsPerDay});
    const std::size_t firstUser = out.size();
    for (const auto& [key, figure] : figures.users)
        if (figure.pointsPerDay > 0)
            out.push_back({{PointsKind::user, key.first, key.second, 0}, figure.pointsPerDay});
    // A day keeps rows for so many users (kPointsUsersADay): those with the most points.
    std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(firstUser), out.end(),
                     [](const PointsSample& a, const PointsSample& b) { return a.ppd > b.ppd; });
    for (const MachineRow& m : machines) {
        if (m.stopped) continue;
        const long long ppd = machineStatus(m, now, limits).pointsPerDay.value_or(0);
        if (ppd > 0) out.push_back({{PointsKind::machine, "", 0, m.id}, ppd});
    }
    return out;
}

bool samplePointsHourly(Store& store, long long now, const StatusLimits& limits)
{
    // A fresh store's first hour is sampled once its first machine is in, not at the server's start.
    const std::vector<MachineRow> machines = store.machines();
    if (machines.empty()) return false;
    store.samplePoints(now / 3600 * 3600, pointsSamples(machines, now, limits));
    return true;
}

std::shared_ptr<const std::string> PointsAnswers::answer(Store& store, const PointsSubject& subject, long long days,
                                                          long long now)
{
    if (subject.kind == PointsKind::machine && !store.machineExists(subject.machineId)) return nullptr;
    const std::string key = std::to_string(static_cast<int>(subject.kind)) + ' ' + std::to_string(days) + ' ' +
                            std::to_string(subject.team) + ' ' + std::to_string(subject.machineId) + ' ' + subject.user;
    const long long today = now / 86400;
    const PointsMark mark = store.pointsMark();
    Kept kept;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = kept_.find(key);
        if (found != kept_.end()) {
            found->second.used = ++uses_;
            if (found->second.today == today && found->second.mark == mark) return found->second.text;
            kept = found->second;
        }
    }
    // The days before today change only with the day (or a removal): a new
    // sample or unit is today's. Made outside the lock, so a slow read
    // holds back no other answer (two asking at once may both make it).
    if (kept.today != today || kept.removals != mark.removals || !kept.text) {
        kept.before = days > 1 ? store.pointsHistory(subject, today - days + 1, today - 1) : PointsHistory{};
        kept.today = today;
        kept.removals = mark.removals;
    }
    PointsHistory whole = kept.before;
    PointsHistory recent = store.pointsHistory(subject, today, today);
    whole.days.insert(whole.days.end(), recent.days.begin(), recent.days.end());
    whole.hours.insert(whole.hours.end(), recent.hours.begin(), recent.hours.end());
    kept.mark = mark;
    kept.text = std::make_shared<const std::string>(jsonText(pointsHistoryJson(whole, days, recent.lastPpd)));

    std::lock_guard<std::mutex> lock(mutex_);
    kept.used = ++uses_;
    kept_[key] = kept;
    if (kept_.size() > kKept)
        kept_.erase(std::min_element(kept_.begin(), kept_.end(),
                                     [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
    return kept.text;
}

Outcome<std::vector<StatusEvent>> machineStatusEvents(Store& store, long long machineId)
{
    if (!store.machineExists(machineId)) return Refusal::notFound;
    return store.statusEvents(machineId, defaults::kStatusEventsKept);
}

} // namespace pelmora::server
