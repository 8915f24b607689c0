// The points history from the rows a store read (points_history_rule.h),
// without a database: the days asked for, each day's average of its hourly
// samples, its units, and the subject's last estimate.
#include <gtest/gtest.h>

#include <string>

#include "server/store/common/points_history_rule.h"

using namespace pelmora::server;

namespace {
constexpr long long kDay = 86400;
constexpr long long hourOf(long long day, int hour) { return day * kDay + hour * 3600LL; }

// "DAY:units/points/estimate …  hours N  last PPD"; "-" for no estimate.
std::string shown(const PointsHistory& h)
{
    std::string out;
    for (const PointsDay& d : h.days)
        out += std::to_string(d.day) + ":" + std::to_string(d.units) + "/" + std::to_string(d.points) + "/" +
               (d.estimated ? std::to_string(*d.estimated) : "-") + " ";
    return out + "hours " + std::to_string(h.hours.size()) + " last " + std::to_string(h.lastPpd);
}
} // namespace

TEST(PointsHistoryRule, DaysFromTheRows)
{
    struct Case {
        const char* what;
        PointsKind kind;
        long long fromDay, toDay;
        PointsHistoryRows rows;
        const char* expected;
    };
    const Case cases[] = {
        {"the fleet's day is the mean of its samples, rounded half away from zero; a day unsampled has none",
         PointsKind::fleet, 100, 101,
         {{{hourOf(100, 0), 100}, {hourOf(100, 1), 201}}, {}, {{100, 2, 30}}, PointsHour{hourOf(100, 1), 201}, 0},
         "100:2/30/151 101:0/0/- hours 2 last 201"},
        {"a user's sum over the fleet's count of samples; a sampled day without its row made nothing",
         PointsKind::user, 100, 101,
         {{{hourOf(100, 0), 500}, {hourOf(100, 1), 500}, {hourOf(101, 5), 900}}, {{100, 300}}, {},
          PointsHour{hourOf(101, 5), 900}, 42},
         "100:0/0/150 101:0/0/0 hours 0 last 42"},
        {"a machine that had no estimate in the last hour: 0, not the fleet's", PointsKind::machine, 100, 100,
         {{{hourOf(100, 0), 700}}, {{100, 70}}, {{100, 1, 9}}, PointsHour{hourOf(100, 0), 700}, 0},
         "100:1/9/70 hours 0 last 0"},
        {"rows of days outside the range count for nothing", PointsKind::user, 100, 100,
         {{{hourOf(99, 0), 10}, {hourOf(100, 0), 20}}, {{99, 10}, {100, 20}, {101, 5}}, {{99, 4, 4}, {101, 5, 5}},
          std::nullopt, 7},
         "100:0/0/20 hours 0 last 0"},
        {"every day asked for, none sampled", PointsKind::fleet, 5, 7, {}, "5:0/0/- 6:0/0/- 7:0/0/- hours 0 last 0"},
        {"no day when the range is empty", PointsKind::fleet, 7, 5, {}, "hours 0 last 0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(shown(pointsHistoryOf(c.kind, c.fromDay, c.toDay, c.rows)), c.expected) << c.what;
}
