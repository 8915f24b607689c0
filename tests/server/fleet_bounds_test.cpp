// The fleet's bounds in the store and the API's plain functions: records
// refused by address, cap and rate; a machine removed with its trail and
// out of every view; silent machines forgotten; history bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "server/alerts.h"
#include "server/iso_time.h"
#include "server/fleet_view.h"
#include "server/fresh_store.h"
#include "server/machine_admin.h"
#include "server/rate_limit.h"

using namespace pelmora::server;

namespace {
class StoreBounds : public testing::TestWithParam<StoreKind> {};
} // namespace

INSTANTIATE_TEST_SUITE_P(Stores, StoreBounds, kStoreKinds, storeKindName);

TEST_P(StoreBounds, RecordsFollowTheRulesAndNameTheirAddress)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_rules.db", true);
    struct Step {
        const char* name;
        const char* from;
        bool pin, mayAdd;
        long long most;
        const char* refused; // a word of the reason, or nullptr
        bool changed;
        const char* address; // the machine's after the step
    } steps[] = {
        {"PC1", "10.0.0.1", false, true, 0, nullptr, false, "10.0.0.1"},
        {"PC1", "10.0.0.1", true, true, 0, nullptr, false, "10.0.0.1"},
        {"PC1", "10.0.0.9", true, true, 0, "pinned", true, "10.0.0.1"},
        {"PC1", "10.0.0.9", false, true, 0, nullptr, true, "10.0.0.9"},
        {"PC1", "", true, true, 0, nullptr, false, "10.0.0.9"}, // unknown sender: the address stays
        {"PC2", "10.0.0.2", false, false, 0, "too many new", false, nullptr},
        {"PC2", "10.0.0.2", false, true, 1, "most machines", false, nullptr},
        {"PC1", "10.0.0.9", false, false, 1, nullptr, false, "10.0.0.9"}, // known: neither rule applies
        {"PC2", "10.0.0.2", false, true, 2, nullptr, false, "10.0.0.2"},
    };
    long long now = 1000;
    for (const Step& s : steps) {
        const ExchangeResult r = store->recordReport(record(s.name), ++now, {s.from, s.pin, s.mayAdd, s.most});
        const std::string where = std::string(s.name) + " from " + s.from;
        if (s.refused) {
            ASSERT_NE(r.refused, nullptr) << where;
            EXPECT_NE(std::string(r.refused).find(s.refused), std::string::npos) << where << ": " << r.refused;
        } else {
            EXPECT_EQ(r.refused, nullptr) << where;
        }
        EXPECT_EQ(r.addressChanged, s.changed) << where;
        const std::vector<MachineRow> all = store->machines();
        const auto m = std::find_if(all.begin(), all.end(), [&](const MachineRow& m) { return m.name == s.name; });
        ASSERT_EQ(m != all.end(), s.address != nullptr) << where;
        if (s.address) {
            EXPECT_EQ(m->address, s.address) << where;
        }
    }
    EXPECT_EQ(store->machineCount(), 2);
    EXPECT_EQ(store->totals().reports, 6); // refused records left nothing

    // The address that took a command and the one that sent the exit record.
    const MachineRow pc1 = store->machines().at(0);
    EXPECT_EQ(pc1.previousAddress, "10.0.0.1");
    store->queueCommand(pc1.id, "tray", "admin@test", ++now);
    EXPECT_EQ(store->recordReport(record("PC1"), ++now, {"10.0.0.7"}).command, 2);
    store->queueCommand(pc1.id, "exit", "admin@test", ++now);
    store->recordReport(record("PC1", 10, true), ++now, {"10.0.0.8"});
    const std::vector<CommandRow> trail = store->commands(pc1.id, 10);
    EXPECT_EQ(trail.at(1).deliveredTo, "10.0.0.7");
    EXPECT_EQ(trail.at(0).cancelledBy, "machine stopped (exit record from 10.0.0.8)");

    // Cleared by an administrator: the next address is taken even when pinned.
    EXPECT_EQ(clearMachineAddress(*store, pc1.id, "admin@test", ++now).status, 200);
    EXPECT_EQ(store->recordReport(record("PC1"), ++now, {"10.0.0.5", true}).refused, nullptr);
    EXPECT_NE(store->recordReport(record("PC1"), ++now, {"10.0.0.6", true}).refused, nullptr);
    EXPECT_EQ(clearMachineAddress(*store, 99, "admin@test", now).status, 404);
}

TEST_P(StoreBounds, ARemovedMachineLeavesNoTrailAndNoView)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_remove.db", true);
    const long long old = 1000, recent = 1000 + 100 * 86400;
    store->recordReport(record("OLD", 10), old, {"10.0.0.1"});
    const ExchangeResult kept = store->recordReport(record("KEPT", 10), recent, {"10.0.0.2"});
    const ExchangeResult gone = store->recordReport(record("GONE", 10), recent, {"10.0.0.3"});
    store->queueCommand(gone.machineId, "tray", "admin@test", recent);
    store->setAlerts({{gone.machineId, "stalled"}}, recent, true);
    SlotTable slots(store->heldSlots());
    ASSERT_EQ(slots.holders(5), 3);
    FleetView fleet(*store, {900, 3600});
    AlertEngine engine(*store, {900, 3600}, 0, false);
    engine.evaluate(recent);
    long long number = 0;
    number = fleet.snapshot(recent)->tag();

    EXPECT_EQ(removeMachine(*store, slots, gone.machineId, "admin@test").status, 200);
    EXPECT_EQ(removeMachine(*store, slots, gone.machineId, "admin@test").status, 404);
    FleetLimits limits;
    limits.forgetAfterDays = 90;
    EXPECT_EQ(forgetSilentMachines(*store, slots, limits, recent), 1); // OLD
    EXPECT_EQ(forgetSilentMachines(*store, slots, limits, recent), 0);

    EXPECT_EQ(slots.holders(5), 1);
    EXPECT_EQ(store->machineCount(), 1);
    EXPECT_EQ(fleet.list(recent)->plain().find("GONE"), std::string::npos);
    EXPECT_NE(fleet.list(recent)->plain().find("KEPT"), std::string::npos);
    std::vector<StreamMessage> messages;
    EXPECT_FALSE(fleet.next(number, 0, messages)); // streams start again from a snapshot
    EXPECT_TRUE(store->commands(gone.machineId, 10).empty());
    EXPECT_TRUE(store->alerts({false, gone.machineId, 10}).empty());
    EXPECT_TRUE(store->history(gone.machineId, 0, recent, 10).empty());
    // Its alert engine forgets it too: nothing raised for a machine that is gone.
    for (const AlertRow& a : engine.evaluate(recent + 100000)) EXPECT_EQ(a.machineId, kept.machineId);
}

TEST_P(StoreBounds, HistoryIsBoundedInRowsAndSpan)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_history.db", true);
    const long long now = 100000;
    long long id = 0;
    for (long long at = now - 48 * 3600; at <= now; at += 60) // one a minute for two days
        id = store->recordReport(record("PC", static_cast<int>(at / 60 % 100)), at).machineId;
    FleetLimits limits;
    limits.historyMaxRows = 200;
    limits.historyMaxDays = 1;
    struct Case {
        long long hours, points;
        long long answeredHours;
        std::size_t rows;
    } cases[] = {
        {1, 0, 1, 61},     // all of it: under the cap
        {6, 0, 6, 200},    // thinned to the cap
        {48, 0, 24, 200},  // the span cut to a day
        {24, 10, 24, 10},  // the points asked for
        {24, 5000, 24, 200},
    };
    for (const Case& c : cases) {
        const AdminAnswer a = machineHistory(*store, limits, id, c.hours, c.points, now);
        ASSERT_EQ(a.status, 200);
        EXPECT_EQ(a.body["hours"], c.answeredHours) << c.hours;
        const auto& reports = a.body["reports"];
        EXPECT_EQ(reports.size(), c.rows) << c.hours << " " << c.points;
        // Thinned evenly: the newest report is always the last one.
        EXPECT_EQ(reports.back()["at"], isoTime(now)) << c.hours << " " << c.points;
        EXPECT_GE(reports.front()["at"].get<std::string>(), isoTime(now - c.answeredHours * 3600));
    }
    EXPECT_EQ(machineHistory(*store, limits, id + 1, 1, 0, now).status, 404);
}

TEST(FleetBounds, RatePerAddress)
{
    using namespace std::chrono;
    RateLimit limit(3, 2); // 3 an hour, 2 addresses followed
    const auto t = RateLimit::Clock::now();
    struct Step {
        const char* address;
        minutes at;
        bool taken;
    } steps[] = {
        {"a", 0min, true},   {"a", 0min, true},   {"a", 1min, true},  {"a", 2min, false},
        {"b", 21min, true},  {"a", 21min, true},  {"a", 22min, false}, // a third of an hour: one more
        {"c", 22min, true},  {"c", 22min, true},  {"c", 22min, true},  {"c", 22min, true}, // not followed
        {"a", 200min, true}, {"d", 200min, true}, {"d", 200min, true}, // b full again: forgotten for d
        {"d", 200min, true}, {"d", 200min, false},
    };
    for (const Step& s : steps) EXPECT_EQ(limit.take(s.address, t + s.at), s.taken) << s.address << " " << s.at.count();
}
