#include "server/store/common/points_history_rule.h"

#include <cmath>
#include <map>

namespace pelmora::server {

PointsHistory pointsHistoryOf(PointsKind kind, long long fromDay, long long toDay, const PointsHistoryRows& rows)
{
    constexpr long long kDay = 86400;
    const bool fleet = kind == PointsKind::fleet;
    PointsHistory out;
    std::map<long long, PointsDay> days;
    for (long long d = fromDay; d <= toDay; ++d) days[d].day = d;

    std::map<long long, std::pair<long long, long long>> sampled; // day -> (samples, sum)
    for (const PointsHour& h : rows.hours) {
        auto& [count, sum] = sampled[h.at / kDay];
        ++count;
        sum += h.ppd;
        if (fleet) out.hours.push_back(h);
    }
    // A day sampled without the subject's row: it made nothing.
    std::map<long long, long long> sums;
    if (fleet)
        for (const auto& [day, figures] : sampled) sums[day] = figures.second;
    else
        for (const auto& [day, sum] : rows.sums) sums[day] = sum;
    for (const auto& [day, figures] : sampled) {
        const auto found = days.find(day);
        if (found == days.end()) continue;
        found->second.estimated = std::llround(static_cast<double>(sums[day]) / static_cast<double>(figures.first));
    }
    for (const PointsHistoryRows::DayUnits& u : rows.units) {
        const auto found = days.find(u.day);
        if (found == days.end()) continue;
        found->second.units = u.units;
        found->second.points = u.points;
    }
    for (const auto& [day, figures] : days) out.days.push_back(figures);
    if (rows.last) out.lastPpd = fleet ? rows.last->ppd : rows.ownLast;
    return out;
}

} // namespace pelmora::server
