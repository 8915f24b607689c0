// Identity, slots, the command queue and status, through the store as the
// listener uses it; the store across a restart and after SIGKILL. Every kind
// of store runs them (kStoreKinds).
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "server/fleet/fleet_view.h"
#include "server/fresh_store.h"
#include "server/store/history_rule.h"
#include "server/fleet/points_history.h"
#include "server/fleet/store_bound.h"

using namespace pelmora::server;

namespace {
MonitorRecord report(const std::string& name, int cpu, int slot, int progress = 10, bool exiting = false)
{
    MonitorRecord r = record(name, progress, exiting);
    r.cpu = cpu;
    r.slot = slot;
    return r;
}

class StoreContract : public testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        store = GetParam().open(path, true);
        ASSERT_TRUE(store);
    }
    void reopen()
    {
        store.reset();
        store = GetParam().open(path, false);
        ASSERT_TRUE(store);
    }
    const std::string path = "store_test.db";
    std::unique_ptr<Store> store;
};
} // namespace

INSTANTIATE_TEST_SUITE_P(Stores, StoreContract, kStoreKinds, storeKindName);

TEST_P(StoreContract, SlotsOfferedLowestFreeFirstThenNegativesThenNone)
{
    store->recordReport(report("A", 1, 1), 1000);
    store->recordReport(report("B", 1, 3), 1000);
    EXPECT_EQ(store->freeSlot({}), 2);
    EXPECT_EQ(store->freeSlot({2}), 4); // 2 is offered to a connection still open
    store->recordReport(report("B", 1, 3, 10, true), 1001); // its machine stopped
    EXPECT_EQ(store->freeSlot({2}), 3);
    EXPECT_FALSE(store->recordReport(report("C", 1, 2), 1002).slotShared);
    EXPECT_TRUE(store->recordReport(report("D", 1, 2), 1002).slotShared); // logged, kept
    for (int i = 4; i <= 127; ++i) store->recordReport(report("E", i, i), 1002);
    EXPECT_EQ(store->freeSlot({3}), -128);
    for (int i = -127; i <= -1; ++i) store->recordReport(report("E", i, i), 1002);
    EXPECT_EQ(store->freeSlot({3, -128}), 0);
}

TEST_P(StoreContract, IdentityIsNameAndCpuAndSlotsSurviveARestart)
{
    const ExchangeResult a = store->recordReport(report("LABPC7", 1, 1), 1000);
    const ExchangeResult b = store->recordReport(report("LABPC7", 2, 2), 1000);
    EXPECT_TRUE(a.newMachine);
    EXPECT_TRUE(b.newMachine);
    EXPECT_NE(a.machineId, b.machineId);
    const ExchangeResult again = store->recordReport(report("LABPC7", 1, 1, 20), 1060);
    EXPECT_FALSE(again.newMachine);
    EXPECT_EQ(again.machineId, a.machineId);
    EXPECT_EQ(again.oldSlot, 1);
    reopen();
    EXPECT_EQ(store->heldSlots(), (std::vector<int>{1, 2}));
    EXPECT_EQ(store->history(a.machineId, 0, 1 << 30, 100).size(), 2u);
    // The exit record frees the slot.
    EXPECT_EQ(store->recordReport(report("LABPC7", 2, 2, 20, true), 1100).newSlot, 0);
    EXPECT_EQ(store->heldSlots(), (std::vector<int>{1}));
}

TEST_P(StoreContract, OneCommandAtATimeGivenOnceAndAudited)
{
    const long long id = store->recordReport(report("PC", 1, 1), 1000).machineId;
    EXPECT_FALSE(store->queueCommand(id + 1, "exit", "admin", 1000)); // no such machine
    ASSERT_TRUE(store->queueCommand(id, "tray", "admin", 1001));
    const CommandRow restart = *store->queueCommand(id, "restart", "admin", 1002); // replaces the tray
    EXPECT_EQ(store->machines()[0].pendingCommand, "restart");
    const ExchangeResult given = store->recordReport(report("PC", 1, 1), 1010);
    EXPECT_EQ(given.command, 3);
    EXPECT_EQ(given.commandId, restart.id);
    EXPECT_EQ(store->recordReport(report("PC", 1, 1), 1020).command, 0);
    const std::vector<CommandRow> audit = store->commands(id, 10);
    ASSERT_EQ(audit.size(), 2u);
    EXPECT_EQ(audit[0].state, "delivered");
    EXPECT_EQ(audit[0].deliveredAt, 1010);
    EXPECT_EQ(audit[1].state, "cancelled");

    // Cancelled before delivery: nothing is given; an exit record drops a pending exit.
    store->queueCommand(id, "tray", "admin", 1030);
    EXPECT_TRUE(store->cancelCommand(id, 0, "admin", 1031));
    EXPECT_FALSE(store->cancelCommand(id, 0, "admin", 1032));
    EXPECT_EQ(store->recordReport(report("PC", 1, 1), 1040).command, 0);
    store->queueCommand(id, "exit", "admin", 1050);
    store->recordReport(report("PC", 1, 1, 10, true), 1060);
    EXPECT_EQ(store->recordReport(report("PC", 1, 0), 1070).command, 0);
}

// Records written together come out as the same records taken one by one:
// the results, in the caller's order, and what the store then holds.
TEST_P(StoreContract, ABatchIsItsRecordsTakenOneByOne)
{
    const auto at = [](MonitorRecord r, long long now, ExchangeRules rules = {}) { return ReportWrite{r, now, rules}; };
    ExchangeRules pinned, moved, capped, kept;
    pinned.pinAddresses = true, pinned.address = "10.0.0.9";
    moved = pinned, moved.address = "10.0.0.7";
    capped.maxMachines = 3;
    kept.givesCommand = false;
    MonitorRecord clamped = report("N1", 1, 4);
    clamped.clamped = 2;
    const struct {
        const char* what;
        std::vector<ReportWrite> batch; // after KNOWN (a tray command pending) and OTHER
    } cases[] = {
        {"new, known, the new one again", {at(report("N1", 1, 4), 1100), at(report("KNOWN", 1, 1, 20), 1100),
                                           at(report("N1", 1, 4, 30), 1110)}},
        {"the command to its machine only", {at(report("OTHER", 1, 2, 20), 1100), at(report("KNOWN", 1, 1, 20), 1100)}},
        {"two records of one machine", {at(report("KNOWN", 1, 1, 20), 1100), at(report("KNOWN", 1, 3, 30), 1700)}},
        {"an exit record", {at(report("KNOWN", 1, 1, 20, true), 1100), at(clamped, 1100)}},
        {"a refused record between two", {at(report("OTHER", 1, 2, 20), 1100), at(report("KNOWN", 1, 1), 1100, moved),
                                          at(report("N1", 1, 4), 1100)}},
        {"the cap reached", {at(report("N2", 1, 5), 1100, capped), at(report("N1", 1, 4), 1100, capped),
                             at(report("KNOWN", 1, 1), 1100, capped)}},
        {"an older record kept in an outage",
         {at(report("KNOWN", 1, 1, 20), 1100), at(report("KNOWN", 1, 1, 5), 1050, kept)}},
    };
    long long before = 0; // the last change before the records
    const auto state = [&](const std::vector<ExchangeResult>& results) {
        std::ostringstream out;
        for (const ExchangeResult& r : results)
            out << r.machineId << r.newMachine << r.oldSlot << r.newSlot << r.command << (r.refused ? r.refused : "")
                << r.addressChanged << r.slotShared << "|";
        for (const MachineRow& m : store->machines())
            out << "\n" << m.name << m.slot << m.progress << m.stopped << m.lastSeen << m.pendingCommand
                << m.refusedAddress << store->history(m.id, 0, 1 << 30, 100).size();
        for (const MachineRow& m : store->machinesChangedSince(before, before)) out << " changed " << m.name;
        const Totals totals = store->totals();
        return out.str() + "\n" + std::to_string(totals.reports) + " " + std::to_string(totals.recordsClamped);
    };
    for (const auto& c : cases) {
        std::string seen[2];
        for (const bool together : {false, true}) {
            store.reset();
            store = GetParam().open(path, true);
            store->recordReport(report("KNOWN", 1, 1), 1000, pinned);
            store->recordReport(report("OTHER", 1, 2), 1000);
            store->queueCommand(store->machines()[0].id, "tray", "admin", 1000);
            store->machinesChangedSince(0, before);
            std::vector<ExchangeResult> results;
            if (together) results = store->recordReports(c.batch);
            else
                for (const ReportWrite& w : c.batch) results.push_back(store->recordReport(w.record, w.now, w.rules));
            seen[together] = state(results);
        }
        EXPECT_EQ(seen[1], seen[0]) << c.what;
    }
}

// A record written back after an outage never goes over a newer one of its
// machine, and leaves its pending command pending (exchange_rule.h decides).
TEST_P(StoreContract, AWrittenBackRecordOlderThanTheRowIsSkipped)
{
    ExchangeRules kept;
    kept.givesCommand = false;
    const long long id = store->recordReport(report("PC", 1, 1, 20), 1100).machineId;
    store->queueCommand(id, "tray", "admin", 1100);
    EXPECT_EQ(store->recordReport(report("PC", 1, 1, 5), 1050, kept).refused, nullptr);
    EXPECT_EQ(store->recordReport(report("PC", 1, 1, 30), 1200, kept).command, 0);
    const MachineRow m = store->machines().at(0);
    EXPECT_EQ(std::make_tuple(m.progress, m.lastSeen, m.pendingCommand), std::make_tuple(30, 1200LL, std::string("tray")));
    EXPECT_EQ(store->totals().reports, 2);
}

TEST_P(StoreContract, AKilledServerKeepsEveryCommittedExchange)
{
    store.reset();
    const pid_t child = fork();
    if (child == 0) {
        std::unique_ptr<Store> s = GetParam().open(path, false);
        for (int i = 0; i < 50; ++i) s->recordReport(report("PC" + std::to_string(i % 5), 1, 0, i), 1000 + i);
        raise(SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    reopen();
    EXPECT_EQ(store->machines().size(), 5u);
    EXPECT_EQ(store->totals().reports, 50);
    EXPECT_EQ(store->machines()[4].progress, 49);
}

// A submitted unit names neither the computer nor the CPU#: it goes to the
// machine that reported a unit of that name, the one at the submitting
// address first, then one of the same user and team, with that machine's
// points and core for it (not the next unit's core the monitor submits).
TEST_P(StoreContract, EachUnitGoesToTheMachineThatFoldedIt)
{
    const std::string longName = "p1_R0_C0_G1_with_a_name_longer_than_35";
    struct Report {
        const char* name;
        int cpu;
        const char* peer;
        const char* user;
        int team;
        std::string unit;
        const char* core;
        int points, unitsSeen = 1;
    } reports[] = {
        {"vm", 1, "10.0.0.5", "u", 1, longName, "coreA", 100},
        {"vm", 2, "10.0.0.5", "u", 1, "p2_R0_C0_G1", "coreB", 200},
        {"other", 1, "10.0.0.9", "u", 1, longName, "coreC", 300}, // the same name, seen last
        {"near", 1, "10.0.0.8", "u", 1, "p5_R0_C0_G1", "coreF", 600},
        {"far", 1, "10.0.0.7", "x", 2, "p5_R0_C0_G1", "coreE", 500}, // the same name, another user, seen last
        {"vm", 2, "10.0.0.5", "u", 1, "p4_R0_C0_G1", "coreD", 400}, // vm/2 moved on
        {"vm", 2, "10.0.0.5", "u", 1, "p4_R0_C0_G1", "coreD", 400},
        {"twin", 1, "10.0.0.6", "u", 1, "p6_R0_C0_G1", "coreG", 700, 3}, // its third unit
        {"twin", 2, "10.0.0.6", "u", 1, "p6_R0_C0_G1", "coreH", 800}, // a copy of its client, seen last
    };
    long long at = 1000;
    std::map<std::string, long long> ids;
    for (const Report& r : reports) {
        MonitorRecord record = report(r.name, r.cpu, 0);
        record.user = r.user, record.team = r.team, record.unit = r.unit, record.core = r.core;
        record.points = r.points, record.unitsSeen = r.unitsSeen;
        ids[std::string(r.name) + "/" + std::to_string(r.cpu)] = store->recordReport(record, at++, ExchangeRules{r.peer}).machineId;
    }
    struct Case {
        std::string protein;
        const char* peer;
        const char* machine; // "" none
        const char* core;
        int points, wucount = 1;
    } cases[] = {
        {longName.substr(0, 35), "10.0.0.5", "vm/1", "coreA", 100},
        {longName.substr(0, 35), "10.0.0.9", "other/1", "coreC", 300},
        {"p2_R0_C0_G1", "10.0.0.1", "vm/2", "coreB", 200}, // its previous unit, with that unit's core
        {"p5_R0_C0_G1", "10.0.0.1", "near/1", "coreF", 600}, // the submitter's user and team
        {"p9_R0_C0_G1", "10.0.0.5", "", "coreD", 0},
        {"p6_R0_C0_G1", "10.0.0.6", "twin/1", "coreG", 700, 3},
        {"p6_R0_C0_G1", "10.0.0.6", "twin/2", "coreH", 800, 1},
    };
    for (const Case& c : cases) {
        UnitSubmission u;
        u.user = "u", u.team = 1, u.protein = c.protein, u.core = "coreD", u.wucount = c.wucount;
        store->addUnit(u, 2000, c.peer);
        const UnitRow got = store->units({}).at(0);
        EXPECT_EQ(got.machineId.value_or(0), *c.machine ? ids.at(c.machine) : 0) << c.protein << " " << c.peer;
        EXPECT_EQ(got.unit.core, c.core) << c.protein << " " << c.peer;
        EXPECT_EQ(got.points, c.points) << c.protein << " " << c.peer;
    }
    UnitFilter one;
    one.machineId = ids.at("vm/1");
    EXPECT_EQ(store->units(one).size(), 1u);
}

// The event stream: what changed, once; a status and a mute's end that
// change with the clock alone; and a stream that fell behind starts again from a snapshot.
TEST_P(StoreContract, TheStreamSendsEachChangeAndRestartsWhenBehind)
{
    FleetView fleet(*store, {60, 600});
    store->recordReport(report("A", 1, 1), 1000);
    const auto snapshot = fleet.snapshot(1000);
    long long number = snapshot->tag();
    EXPECT_NE(snapshot->plain().find("{\"machines\":[{\"id\":1,"), std::string::npos);
    std::vector<StreamMessage> messages;
    const auto sent = [&](long long now, const std::string& key, std::size_t length) {
        fleet.publish(now);
        if (!fleet.next(number, 0, messages) || messages.empty()) return std::string("none");
        number = messages.back().number;
        const std::string& data = messages.back().data;
        return data.substr(data.find(key), length);
    };
    const auto statusSent = [&](long long now) { return sent(now, "\"status\":", 18); };
    statusSent(1000); // what the snapshot already held comes once more
    EXPECT_EQ(statusSent(1001), "none");
    store->recordReport(report("A", 1, 1, 11), 1002);
    EXPECT_EQ(statusSent(1002), "\"status\":\"folding\"");
    EXPECT_EQ(statusSent(1100), "\"status\":\"offline\"");
    ASSERT_TRUE(store->muteMachine(1, 1150));
    EXPECT_EQ(sent(1100, "\"muted_until\":", 36), "\"muted_until\":\"1970-01-01T00:19:10Z\"");
    EXPECT_EQ(sent(1150, "\"muted_until\":", 18), "\"muted_until\":null");
    for (int i = 0; i < 70; ++i) {
        store->recordReport(report("A", 1, 1, 12 + i), 1101 + i);
        fleet.publish(1101 + i);
    }
    EXPECT_FALSE(fleet.next(number, 0, messages));
}

TEST(HistoryRule, ARowAChangeAtMostTwoAStep)
{
    const LatestHistory none{}, first{7, 100, false}, second{8, 103, true};
    struct Case {
        LatestHistory latest;
        bool changed, unitChanged;
        long long now;
        HistoryWrite write;
        bool second;
    } cases[] = {
        {none, false, false, 100, HistoryWrite::add, false},   // a machine's first report
        {first, false, false, 105, HistoryWrite::none, false}, // nothing changed
        {first, true, false, 109, HistoryWrite::update, false},
        {first, true, false, 110, HistoryWrite::add, false},   // the next step
        {first, true, false, 99, HistoryWrite::add, false},    // the clock set back
        {first, true, true, 105, HistoryWrite::add, true},     // the old unit's row is kept
        {second, true, true, 105, HistoryWrite::update, true}, // a flood of units: the second row follows
        {second, true, false, 112, HistoryWrite::add, false},
    };
    for (const Case& c : cases) {
        const HistoryDecision d = decideHistory(c.latest, c.changed, c.unitChanged, c.now, 10);
        EXPECT_EQ(d.write, c.write) << c.latest.rowId << " " << c.now;
        EXPECT_EQ(d.second, c.second) << c.latest.rowId << " " << c.now;
    }
}

// Through the store: each report, then the history it leaves (at, unit, progress).
TEST_P(StoreContract, HistoryKeepsChangesAtMostTwoRowsAStep)
{
    store->setHistoryResolution(10);
    store->setOfflineAfter(900);
    struct Report {
        long long at;
        const char* unit;
        int progress;
        bool inTray = false, exiting = false;
    } reports[] = {
        {1000, "A", 10}, {1001, "A", 10},                  // no change: no row
        {1012, "A", 11}, {1015, "A", 12},                  // the next step, then the latest values win
        {1016, "B", 0},  {1017, "C", 0}, {1018, "D", 1},   // new units: A's last values kept, then the latest
        {1025, "D", 1, true}, {1026, "D", 1, true},        // into the tray, then nothing new
        {1031, "D", 2, true, true},                        // stopped
        {5000, "D", 2, true},                              // back after a silence
    };
    long long id = 0;
    for (const Report& r : reports) {
        MonitorRecord m = report("PC", 1, 1, r.progress, r.exiting);
        m.unit = r.unit, m.inTray = r.inTray;
        id = store->recordReport(m, r.at).machineId;
    }
    struct Row {
        long long at;
        std::string unit;
        int progress;
        bool inTray, stopped;
        long long silentFrom;
    } want[] = {
        {1000, "A", 10, false, false, 0}, {1015, "A", 12, false, false, 0}, {1018, "D", 1, false, false, 0},
        {1025, "D", 1, true, false, 0},   {1031, "D", 2, true, true, 0},    {5000, "D", 2, true, false, 1031},
    };
    const std::vector<ReportRow> rows = store->history(id, 0, 10000, 100);
    ASSERT_EQ(rows.size(), std::size(want));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ReportRow& r = rows[i];
        const Row& w = want[i];
        EXPECT_EQ(std::tie(r.at, r.unit, r.progress, r.inTray, r.stopped, r.silentFrom),
                  std::tie(w.at, w.unit, w.progress, w.inTray, w.stopped, w.silentFrom)) << i;
    }
    EXPECT_EQ(store->totals().reports, static_cast<long long>(std::size(reports))); // every exchange counted
    EXPECT_EQ(store->reportBefore(id, 1016)->at, 1015);
    EXPECT_FALSE(store->reportBefore(id, 1000));

    // A flood of unit names, ten a second for a minute: at most two rows a step.
    for (long long t = 60000; t < 60600; ++t) {
        MonitorRecord m = report("PC", 1, 1, 5);
        m.unit = "flood" + std::to_string(t);
        store->recordReport(m, t / 10);
    }
    std::map<long long, int> perStep;
    for (const ReportRow& r : store->history(id, 6000, 6060, 1000)) ++perStep[r.at / 10];
    EXPECT_EQ(perStep.size(), 6u);
    for (const auto& [step, count] : perStep) EXPECT_LE(count, 2) << step;
    EXPECT_EQ(store->history(id, 6059, 6059, 10).at(0).unit, "flood60599");
}

// Past its bound the store loses its oldest history first, table by table
// (reports, changes of status, resolved alerts, points), a batch a pass,
// until under nine tenths of it: one episode, counted once. However small
// the bound, each machine keeps its last day of every kind of history.
TEST_P(StoreContract, PastItsBoundTheOldestHistoryGoesFirstButEachMachinesLastDayStays)
{
    constexpr long long kDay = 86400, start = 20000 * kDay, end = start + 3 * kDay;
    std::vector<long long> ids;
    for (long long t = start; t < end; t += 600) {
        std::vector<ReportWrite> writes;
        for (int m = 0; m < 6; ++m) {
            MonitorRecord r = report("PC" + std::to_string(m), 1, 0, static_cast<int>(t / 600 % 100));
            r.unit = "p1234_R1_C2_G3" + std::string(120, 'x');
            writes.push_back({r, t - m * 3600}); // PC5 fell silent five hours before PC0
        }
        for (const ExchangeResult& e : store->recordReports(writes))
            if (t == start) ids.push_back(e.machineId);
    }
    std::vector<StatusEvent> events;
    for (long long h = start; h < end; h += 3600) {
        std::vector<AlertWanted> flap;
        std::vector<PointsSample> samples{{{}, 600}};
        for (const long long id : ids) {
            events.push_back({id, h, h / 3600 % 2 ? "stalled" : "folding"});
            flap.push_back({id, h / 3600 % 2 ? "stalled" : nullptr});
            samples.push_back({{PointsKind::machine, "", 0, id}, 100});
        }
        store->setAlerts(flap, h, false);
        store->samplePoints(h, samples);
    }
    store->addStatusEvents(events, 200);
    const auto lastDayOf = [&](long long id) {
        for (const MachineRow& m : store->machines())
            if (m.id == id) return m.lastSeen - kDay;
        return 0LL;
    };
    std::map<long long, std::size_t> lastDayReports;
    for (const long long id : ids)
        for (const ReportRow& r : store->history(id, 0, end, 100000)) lastDayReports[id] += r.at >= lastDayOf(id);

    store->thinOldestPoints(0); // nothing removed, but a PostgreSQL writer's statistics (the size) brought up to date
    Counters counters;
    StoreBound bound(*store, counters, store->sizeBytes() / 10 * 7);
    int passes = 0;
    do bound.pass();
    while (counters.storeAtLimit && ++passes < 100);
    EXPECT_FALSE(counters.storeAtLimit);
    EXPECT_EQ(counters.storeLimitReached, 1);
    EXPECT_GT(counters.reportsThinned, 0);
    EXPECT_LE(store->sizeBytes(), counters.storeMaxBytes / 10 * 9);
    bound.pass();
    EXPECT_EQ(counters.storeLimitReached, 1);

    Counters tight;
    StoreBound all(*store, tight, 1);
    for (int pass = 0; pass < 30; ++pass) all.pass();
    for (const long long id : ids) {
        const long long from = lastDayOf(id);
        const std::vector<ReportRow> left = store->history(id, 0, end, 100000);
        ASSERT_EQ(left.size(), lastDayReports[id]) << "the last day's reports, whole";
        EXPECT_GE(left.front().at, from);
        const std::vector<StatusEvent> statuses = store->statusEvents(id, 1000);
        EXPECT_GE(statuses.size(), 24u);
        EXPECT_GE(statuses.back().at, from);
        const std::vector<AlertRow> alerts = store->alerts({false, id, -1});
        EXPECT_GE(alerts.size(), 12u);
        for (const AlertRow& a : alerts) EXPECT_TRUE(a.resolvedAt == 0 || a.resolvedAt >= from) << a.resolvedAt;
        const PointsHistory points = store->pointsHistory({PointsKind::machine, "", 0, id}, 20000, 20002);
        EXPECT_FALSE(points.days[0].estimated) << "the oldest day's samples are gone";
        EXPECT_EQ(points.days[2].estimated.value_or(0), 100);
    }
    const PointsHistory fleet = store->pointsHistory({}, 20000, 20002);
    ASSERT_FALSE(fleet.hours.empty());
    EXPECT_GE(fleet.hours.front().at, end - 3600 - kDay);
    EXPECT_EQ(store->machineCount(), 6);
}

// A machine's alerts are bounded however it flaps: its oldest resolved ones
// go first, its open one stays.
TEST_P(StoreContract, AFlappingMachineKeepsItsLastAlertsOnly)
{
    const long long id = store->recordReport(report("FLAP", 1, 0), 1).machineId;
    for (int flap = 0; flap < 2 * kAlertsKept + 1; ++flap) store->setAlerts({{id, flap % 2 ? nullptr : "offline"}}, 10 + flap, true);
    const std::vector<AlertRow> kept = store->alerts({false, id, -1});
    ASSERT_EQ(static_cast<int>(kept.size()), kAlertsKept);
    EXPECT_EQ(kept.front().resolvedAt, 0) << "the open alert, newest";
    EXPECT_EQ(kept.back().raisedAt, 10 + 2 * kAlertsKept - 2 * (kAlertsKept - 1)) << "the newest ones kept";
    EXPECT_EQ(store->alertCounts().offline, 1);
}

// A day keeps a row for so many users at most, those with the most points
// first: a machine that takes a new user name each hour grows no more.
TEST_P(StoreContract, ADayOfPointsKeepsItsUsersBounded)
{
    const long long hour = 20000 * 86400LL + 3600;
    std::vector<PointsSample> samples{{{}, 1}};
    for (int u = 0; u < kPointsUsersADay + 20; ++u)
        samples.push_back({{PointsKind::user, "u" + std::to_string(u), 1, 0}, kPointsUsersADay + 20 - u});
    ASSERT_TRUE(store->samplePoints(hour, samples));
    const auto user = [](int u) { return PointsSubject{PointsKind::user, "u" + std::to_string(u), 1, 0}; };
    const auto estimate = [&](int u) { return store->pointsHistory(user(u), 20000, 20000).days[0].estimated.value_or(-1); };
    EXPECT_EQ(estimate(0), kPointsUsersADay + 20);
    EXPECT_EQ(estimate(kPointsUsersADay - 1), 21);
    EXPECT_EQ(estimate(kPointsUsersADay), 0) << "past the day's users";
    // The next hour: a user kept is summed, a new one finds no room; the day's "now" is the last hour's.
    ASSERT_TRUE(store->samplePoints(hour + 3600, {{{}, 1}, {user(0), 4}, {user(kPointsUsersADay + 1), 9}}));
    EXPECT_EQ(estimate(0), (kPointsUsersADay + 24) / 2);
    EXPECT_EQ(estimate(kPointsUsersADay + 1), 0);
    EXPECT_EQ(store->pointsHistory(user(0), 20000, 20000).lastPpd, 4);
    EXPECT_EQ(store->pointsHistory(user(1), 20000, 20000).lastPpd, 0) << "no sample in the last hour";
}

// The points history: one sample an hour whoever asks (a restart too),
// users' and machines' estimates averaged over the hours sampled that day,
// beside the points of the units finished that day; pruned by day, and a
// removed machine's rows go with it.
TEST_P(StoreContract, PointsSampledOnceAnHourAveragedByDay)
{
    const long long day = 20000, start = day * 86400;
    MonitorRecord a = report("a", 1, 0), b = report("b", 1, 0);
    a.user = "u", a.team = 1, a.points = 50, a.unit = "p7_R0_C0_G1";
    b.user = "v", b.team = 2;
    const long long ida = store->recordReport(a, start).machineId, idb = store->recordReport(b, start).machineId;
    const PointsSubject fleet, user{PointsKind::user, "u", 1, 0}, ma{PointsKind::machine, "", 0, ida},
        mb{PointsKind::machine, "", 0, idb};
    EXPECT_TRUE(store->samplePoints(start + 3600, {{fleet, 300}, {user, 100}, {ma, 100}, {mb, 200}}));
    EXPECT_FALSE(store->samplePoints(start + 3600, {{fleet, 999}, {mb, 999}}));
    reopen();
    EXPECT_FALSE(store->samplePoints(start + 3600, {{fleet, 999}, {mb, 999}}));
    EXPECT_TRUE(store->samplePoints(start + 7200, {{fleet, 100}, {user, 100}, {ma, 100}})); // b made nothing
    UnitSubmission unit;
    unit.user = "u", unit.team = 1, unit.protein = a.unit;
    store->addUnit(unit, start + 10);
    store->addUnit(unit, start - 10); // the day before
    struct Case {
        PointsSubject subject;
        long long estimated, units, points;
    } cases[] = {{fleet, 200, 1, 50}, {user, 100, 1, 50}, {ma, 100, 1, 50}, {mb, 100, 0, 0}};
    for (const Case& c : cases) {
        const PointsHistory h = store->pointsHistory(c.subject, day, day + 1);
        ASSERT_EQ(h.days.size(), 2u);
        EXPECT_EQ(h.days[0].estimated.value_or(-1), c.estimated) << c.subject.machineId;
        EXPECT_EQ(h.days[0].units, c.units) << c.subject.machineId;
        EXPECT_EQ(h.days[0].points, c.points) << c.subject.machineId;
        EXPECT_FALSE(h.days[1].estimated) << "a day without a sample";
        EXPECT_EQ(h.hours.size(), c.subject.kind == PointsKind::fleet ? 2u : 0u);
    }
    store->removeMachines({idb});
    EXPECT_EQ(store->pointsHistory(mb, day, day).days[0].estimated, 0);
    EXPECT_EQ(store->prunePoints(day), 0);
    EXPECT_GT(store->prunePoints(day + 1), 0);
    EXPECT_FALSE(store->pointsHistory(fleet, day, day).days[0].estimated);
}

// The points history's answers are kept, and made again when a sample, a
// unit, a removal or the day comes; the days before today read once a day.
TEST_P(StoreContract, PointsAnswersAreKeptUntilTheirRowsMove)
{
    const long long day = 20000, now = day * 86400 + 7200;
    const long long id = store->recordReport(report("a", 1, 0), now).machineId;
    const PointsSubject fleet, machine{PointsKind::machine, "", 0, id};
    store->samplePoints((day - 1) * 86400, {{fleet, 100}});
    store->samplePoints(day * 86400 + 3600, {{fleet, 300}, {machine, 300}});
    PointsAnswers answers;
    const auto text = [&](const PointsSubject& subject, long long at = 0) {
        return answers.answer(*store, subject, 2, at ? at : now);
    };
    const auto first = text(fleet);
    EXPECT_EQ(text(fleet), first) << "kept";
    for (const char* part : {"\"current_ppd\":300", "\"estimated_ppd\":100", "\"estimated_ppd\":300"})
        EXPECT_NE(first->find(part), std::string::npos) << part << " in " << *first;
    UnitSubmission unit;
    unit.user = "u", unit.team = 1, unit.protein = "p1234_R1_C2_G3";
    store->addUnit(unit, now);
    EXPECT_NE(text(fleet)->find("\"units\":1"), std::string::npos) << *text(fleet);
    store->samplePoints(day * 86400 + 7200, {{fleet, 500}, {machine, 200}});
    EXPECT_NE(text(fleet)->find("\"current_ppd\":500"), std::string::npos);
    EXPECT_NE(text(machine)->find("\"current_ppd\":200"), std::string::npos);
    EXPECT_NE(text(fleet, now + 86400)->find("\"current_ppd\":500,\"daily\":[{\"day\":\"2024-10-04\""),
              std::string::npos) << "the next day: " << *text(fleet, now + 86400);
    store->removeMachines({id});
    EXPECT_EQ(answers.answer(*store, machine, 2, now), nullptr); // no machine
}

// A machine's changes of status: a repeat is no change, the last ones are
// kept (the very last whatever its age), and they go with the machine.
TEST_P(StoreContract, StatusEventsKeepChangesOnly)
{
    const long long id = store->recordReport(report("a", 1, 0), 1).machineId;
    const auto shown = [&] {
        std::string out;
        for (const StatusEvent& e : store->statusEvents(id, 10)) out += e.status + "@" + std::to_string(e.at) + " ";
        return out;
    };
    store->addStatusEvents({{id, 10, "folding"}, {id, 20, "folding"}, {id, 30, "stalled"}}, 200);
    EXPECT_EQ(shown(), "stalled@30 folding@10 ");
    store->addStatusEvents({{id, 40, "offline"}, {id, 50, "folding"}}, 2);
    EXPECT_EQ(shown(), "folding@50 offline@40 ");
    EXPECT_EQ(store->lastStatuses().at(0).status, "folding");
    store->pruneStatusEvents(1000);
    EXPECT_EQ(shown(), "folding@50 ");
    store->removeMachines({id});
    EXPECT_EQ(shown(), "");
}
