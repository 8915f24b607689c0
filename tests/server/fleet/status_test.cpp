// A machine's status, pace, estimated finish and points per day as its
// reports and the clock move, through the store as the listener fills it;
// a silent machine under any two limits; numbers out of their ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

#include "server/fleet/alerts.h"
#include "server/fleet/fleet_view.h"
#include "server/fresh_store.h"
#include "server/fleet/machine_status.h"
#include "server/fleet/points_history.h"
#include "server/monitor/record.h"

using namespace pelmora;
using namespace pelmora::server;
using protocol::kRecordBytes;

namespace {
constexpr int kSilent = -1, kExits = -2;
constexpr long long kNull = -1;

class StatusTest : public testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        store = GetParam().open("status_test.db", true);
        ASSERT_TRUE(store);
        store->setOfflineAfter(60);
    }
    void report(long long at, int progress, const std::string& unit = "p1_R0_C0_G0", bool exiting = false)
    {
        MonitorRecord r = record("PC", progress, exiting);
        r.unit = unit;
        r.points = 240;
        store->recordReport(r, at);
    }
    MachineStatus status(long long now, const StatusLimits& limits)
    {
        return machineStatus(store->machines().at(0), now, limits);
    }
    std::unique_ptr<Store> store;
};
} // namespace

INSTANTIATE_TEST_SUITE_P(Stores, StatusTest, kStoreKinds, storeKindName);

TEST_P(StatusTest, StatesAsReportsComeAndGo)
{
    const StatusLimits limits{60, 30}; // offline after 60 s, stalled after 30
    struct Step {
        long long at;
        int progress; // reported at AT, or kSilent, kExits
        const char* unit;
        const char* status; // at AT
        long long eta, ppd; // kNull: none
    } steps[] = {
        {1000, 10, "A", "folding", kNull, kNull}, // no pace yet
        {1010, 11, "A", "folding", 1900, 20736},  // 1 % in 10 s: 89 % left; 240 points × 360 % an hour × 24 / 100
        {1045, kSilent, "", "folding", 1900, 20736}, // late past --stall-after, but no report says it stalled
        {1071, kSilent, "", "offline", kNull, kNull},
        {1080, 11, "A", "folding", 1900, 20736},  // back: no step while away is no stall
        {1109, 11, "A", "folding", 1900, 20736},
        {1110, 11, "A", "stalled", kNull, kNull}, // 30 s of reports since its return, without a step
        {1111, 12, "A", "folding", 5995, 3736},    // from the window's start: 2 % in 111 s
        {1141, 12, "A", "stalled", kNull, kNull},
        {1142, 100, "A", "folding", 1142, 131425}, // done: its finish is when it got there
        {1150, 0, "B", "folding", kNull, kNull},   // a new unit starts its pace afresh
        {1160, 1, "B", "folding", 2150, 20736},
        {1170, kExits, "B", "stopped", kNull, kNull},
    };
    for (const Step& s : steps) {
        if (s.progress != kSilent) report(s.at, s.progress == kExits ? 1 : s.progress, s.unit, s.progress == kExits);
        const MachineStatus got = status(s.at, limits);
        EXPECT_STREQ(got.status, s.status) << s.at;
        EXPECT_EQ(got.eta.value_or(kNull), s.eta) << s.at;
        EXPECT_EQ(got.pointsPerDay.value_or(kNull), s.ppd) << s.at;
        EXPECT_EQ(got.progressPerHour.has_value(), s.eta != kNull) << s.at;
    }
}

// Stalled is read from reports, never from silence: whichever limit is the
// shorter, a machine that stops reporting is folding, then offline, and
// raises one offline alert; back with no step made while away, it folds.
TEST_P(StatusTest, ASilentMachineGoesOfflineNeverStalled)
{
    const StatusLimits pairs[] = {{60, 30}, {30, 60}, {30, 30}, {3600, 1}};
    long long start = 1000;
    for (const StatusLimits& limits : pairs) {
        store.reset();
        SetUp();
        store->setOfflineAfter(limits.offlineAfter);
        AlertEngine alerts(*store, limits, 0, false);
        for (int i = 0; i <= 10; ++i) report(start + 10 * i, 10 + i);
        const long long last = start + 100, back = last + 2 * std::max(limits.offlineAfter, limits.stallAfter);
        for (long long now = last; now <= back; ++now) {
            if (now == back) report(now, 20); // back, with no step made while away
            const MachineStatus s = status(now, limits);
            ASSERT_STREQ(s.status, now - last > limits.offlineAfter && now < back ? "offline" : "folding")
                << "offline after " << limits.offlineAfter << ", stalled after " << limits.stallAfter << ", " << now;
            alerts.evaluate(now);
        }
        const std::vector<AlertRow> raised = store->alerts({false, 0, -1});
        ASSERT_EQ(raised.size(), 1u) << limits.offlineAfter << " " << limits.stallAfter;
        EXPECT_EQ(raised[0].kind, "offline");
        start += 10000;
    }
}

// The pace follows the machine's last half hour to hour, not the unit's
// average: a unit folded at 10 % an hour, then at 20.
TEST_P(StatusTest, ThePaceIsTheRecentOne)
{
    for (int t = 0; t <= 3600; t += 60) report(t, t / 360);
    for (int t = 3660; t <= 9000; t += 60) report(t, 10 + (t - 3600) / 180); // 40 % at 9000: 16 % an hour on average
    const MachineStatus s = status(9000, {900, 3600});
    ASSERT_TRUE(s.progressPerHour);
    EXPECT_NEAR(*s.progressPerHour, 20.0, 0.5);
    EXPECT_NEAR(static_cast<double>(*s.pointsPerDay), 240 * 0.2 * 24, 240 * 0.005 * 24);
}

// An approved identity's row holds progress 0 until its first report: a
// stalled machine approved at 37 %, across a restart of the server, shows
// no pace and no points per day, and no hourly sample holds any, until it
// steps; then its pace is measured from its own first report.
TEST_P(StatusTest, AnApprovedMachinesPaceComesFromItsOwnReports)
{
    ExchangeRules waits;
    waits.address = "10.0.0.1", waits.byApproval = true, waits.maxWaiting = 10;
    MonitorRecord r = record("PC", 37);
    r.points = 240;
    store->recordReport(r, 1000, waits);
    ASSERT_EQ(store->approve({store->waiting().at(0).id}, 0, 1005).approved.size(), 1u);
    store.reset(); // the server restarts
    store = GetParam().open("status_test.db", false);
    const StatusLimits limits{900, 3600};
    store->setOfflineAfter(limits.offlineAfter);
    for (long long at = 1010; at <= 7250; at += 60) {
        const bool steps = at == 7250;
        r.progress = steps ? 38 : 37;
        store->recordReport(r, at);
        samplePointsHourly(*store, at, limits);
        const MachineStatus got = status(at, limits);
        if (steps) break;
        ASSERT_FALSE(got.pointsPerDay) << at << ": " << *got.pointsPerDay;
        ASSERT_FALSE(got.progressPerHour) << at;
    }
    const MachineStatus stepped = status(7250, limits);
    ASSERT_TRUE(stepped.pointsPerDay);
    EXPECT_EQ(*stepped.pointsPerDay, 33); // 1 % in 6240 s since its first report, at 240 points a unit
    const std::vector<PointsHour> hours = store->pointsHistory({}, 0, 0).hours;
    ASSERT_EQ(hours.size(), 3u);
    for (const PointsHour& h : hours) EXPECT_EQ(h.ppd, h.at < 7200 ? 0 : 33) << h.at; // the last after its step
}

// Out-of-range numbers from a hostile or broken monitor: brought into
// range and counted, never an overflow in what is made of them.
TEST_P(StatusTest, ExtremeProgressIsClampedAndCounted)
{
    FleetView fleet(*store, {900, 3600});
    const auto sent = [](int unitsSeen, int progress, double mhz, int frames, int points) {
        protocol::RecordValues v;
        v.computerName = "PC", v.cpu = 1, v.unit = "p1", v.cpuVendor = "V", v.core = "c", v.user = "u", v.team = 5;
        v.unitsSeen = unitsSeen, v.progress = progress, v.cpuMhz = mhz, v.frames = frames, v.points = points;
        return v;
    };
    const protocol::RecordValues records[] = {sent(2, INT_MIN, 1e308, INT_MAX, INT_MAX),
                                              sent(-9, 2147483600, -1.5, -1, INT_MIN)};
    const int progress[] = {0, 100};
    for (int i = 0; i < 2; ++i) {
        std::string bytes(kRecordBytes, '\0');
        protocol::formatRecord(records[i], &bytes[0], bytes.size());
        const RecordParse parsed = parseRecord(bytes.data(), bytes.size());
        ASSERT_TRUE(parsed.ok) << parsed.reason;
        store->recordReport(parsed.record, 1000 + 10 * i);
        const MachineRow m = store->machines().at(0);
        EXPECT_EQ(m.progress, progress[i]);
        const MachineStatus s = machineStatus(m, 1000 + 10 * i, {900, 3600});
        EXPECT_EQ(s.eta.has_value(), i == 1);
        EXPECT_NE(fleet.list(1000 + 10 * i)->plain().find("\"status\":\"folding\""), std::string::npos);
    }
    EXPECT_EQ(store->totals().recordsClamped, 2);
}
