// A subject's points history from the rows the store read, decided here so
// that every store answers the same: each day asked for is present; a day's
// estimate is the average of the hourly samples the store took that day
// (the subject's sum of the day over the fleet's count of samples, so an
// hour the subject was not sampled in counts as nothing), none when the
// store took no sample that day; the units and their points as counted; the
// subject's estimate in the last hour sampled, 0 when it had none.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "server/store/rows.h"

namespace pelmora::server {

struct PointsHistoryRows {
    std::vector<PointsHour> hours; // the fleet's samples over the days, by hour
    std::vector<std::pair<long long, long long>> sums; // a user's or a machine's (day, sum); not the fleet's
    struct DayUnits {
        long long day = 0, units = 0, points = 0;
    };
    std::vector<DayUnits> units;
    std::optional<PointsHour> last; // the last hour sampled, of any day
    long long ownLast = 0;          // a user's or a machine's estimate in it
};

PointsHistory pointsHistoryOf(PointsKind kind, long long fromDay, long long toDay, const PointsHistoryRows& rows);

} // namespace pelmora::server
