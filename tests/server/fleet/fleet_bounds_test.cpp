// The fleet's bounds in the store and the API's plain functions: records
// refused by address, cap and rate; a pinned address moved; new identities
// waiting for approval; a machine removed with its trail and out of every
// view; silent machines forgotten; history bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "server/api/admin_bodies.h"
#include "server/fleet/admission.h"
#include "server/fleet/alerts.h"
#include "server/support/ip_address.h"
#include "server/support/iso_time.h"
#include "server/fleet/fleet_view.h"
#include "server/fresh_store.h"
#include "server/fleet/machine_admin.h"
#include "server/monitor/record_intake.h"
#include "server/support/rate_limit.h"

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
    EXPECT_TRUE(clearMachineAddress(*store, pc1.id, "admin@test", ++now));
    EXPECT_EQ(store->recordReport(record("PC1"), ++now, {"10.0.0.5", true}).refused, nullptr);
    EXPECT_NE(store->recordReport(record("PC1"), ++now, {"10.0.0.6", true}).refused, nullptr);
    EXPECT_FALSE(clearMachineAddress(*store, 99, "admin@test", now));
}

// Records that come together are written together, but no address adds
// more new machines than its rate allows, whether or not the records
// before them in the group turned out to be new.
TEST_P(StoreBounds, RecordsTakenTogetherKeepEachAddressRate)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_together.db", true);
    FleetLimits limits;
    limits.newMachinesPerHour = 2;
    FleetBounds bounds(limits);
    Counters counters;
    store->recordReport(record("KNOWN"), 1000, {"10.0.0.1"});
    const struct {
        const char* name;
        const char* from;
        bool added;
    } group[] = {
        {"KNOWN", "10.0.0.1", true}, {"NEW1", "10.0.0.1", true},  {"NEW2", "10.0.0.1", true},
        {"NEW3", "10.0.0.1", false}, {"NEW4", "10.0.0.2", true},  {"KNOWN", "10.0.0.1", true},
    };
    std::vector<IncomingRecord> records;
    for (const auto& g : group) records.push_back({record(g.name, 20), g.from, 2000});
    std::vector<ExchangeResult> results;
    takeRecords(*store, &bounds, counters, records, results);
    ASSERT_EQ(results.size(), records.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].refused == nullptr, group[i].added) << i << " " << group[i].name;
        EXPECT_EQ(results[i].newMachine, group[i].added && i > 0 && i < 5) << i << " " << group[i].name;
    }
    EXPECT_EQ(store->machineCount(), 4);
    EXPECT_EQ(counters.machinesRefusedRate, 1);
}

TEST_P(StoreBounds, APinnedAddressMovesAtOnceToTheOneAsked)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_move.db", true);
    const long long id = store->recordReport(record("PC1"), 1000, {"10.0.0.1", true}).machineId;
    store->queueCommand(id, "exit", "admin@test", 1001);
    EXPECT_NE(store->recordReport(record("PC1"), 1002, {"10.0.0.2", true}).refused, nullptr); // the machine, moved
    EXPECT_NE(store->recordReport(record("PC1"), 1003, {"10.0.0.9", true}).refused, nullptr); // someone else
    MachineRow m = store->machines().at(0);
    EXPECT_EQ(m.refusedAddress, "10.0.0.2"); // noted once a minute
    store->recordReport(record("PC1"), 1062, {"10.0.0.9", true});
    m = store->machines().at(0);
    EXPECT_EQ(m.refusedAddress, "10.0.0.9");
    EXPECT_EQ(m.refusedAt, 1062);
    EXPECT_EQ(m.pendingCommand, "exit");

    EXPECT_EQ(store->moveAddress(id, "10.0.0.2", 1064), "10.0.0.1");
    EXPECT_FALSE(store->moveAddress(id + 1, "10.0.0.2", 1064));
    m = store->machines().at(0);
    EXPECT_EQ(m.address, "10.0.0.2");
    EXPECT_EQ(m.previousAddress, "10.0.0.1");
    EXPECT_EQ(m.addressChangedAt, 1064);
    EXPECT_EQ(store->recordReport(record("PC1"), 1065, {"10.0.0.9", true}).command, 0); // still refused
    const ExchangeResult taken = store->recordReport(record("PC1"), 1066, {"10.0.0.2", true});
    EXPECT_EQ(taken.refused, nullptr);
    EXPECT_EQ(taken.command, 1);
    EXPECT_EQ(store->commands(id, 1).at(0).deliveredTo, "10.0.0.2");

    // Through the API's function: any address text, canonical; bad ones refused.
    struct Case {
        const char* body;
        int status;
        const char* address; // the machine's after it
    } cases[] = {
        {R"({"address":"2001:DB8:0::7"})", 200, "2001:db8::7"},
        {R"({"address":"::ffff:10.0.0.3"})", 200, "10.0.0.3"},
        {R"({"address":"10.0.0"})", 400, "10.0.0.3"},
        {R"({"address":"10.0.0.4 "})", 400, "10.0.0.3"},
        {R"({"address":7})", 400, "10.0.0.3"},
        {R"(["10.0.0.4"])", 400, "10.0.0.3"},
    };
    for (const Case& c : cases) {
        const BodyRead<std::string> address = readAddressBody(c.body);
        EXPECT_EQ(address.value ? 200 : 400, c.status) << c.body;
        if (address.value) {
            EXPECT_TRUE(moveMachineAddress(*store, id, *address.value, "admin@test", 1010)) << c.body;
        }
        EXPECT_EQ(store->machines().at(0).address, c.address) << c.body;
    }
}

TEST_P(StoreBounds, NewIdentitiesWaitBoundedUntilApproved)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_waiting.db", true);
    ExchangeRules rules{"10.0.0.1", false, true, 2};
    rules.byApproval = true, rules.maxWaiting = 3;
    const auto from = [&](const char* address) {
        ExchangeRules r = rules;
        r.address = address;
        return r;
    };
    long long now = 1000;
    for (const char* name : {"A", "B", "C", "D"}) { // full at D: A, the oldest of the address holding most, goes
        const ExchangeResult r = store->recordReport(record(name), ++now, from(name[0] == 'B' ? "10.0.2.5" : "10.0.0.1"));
        EXPECT_TRUE(r.waiting && r.newMachine && r.refused && r.command == 0) << name;
    }
    const ExchangeResult again = store->recordReport(record("B"), ++now, from("10.0.2.5")); // seen again
    EXPECT_TRUE(again.waiting && !again.newMachine);
    store->recordReport(record("E"), ++now, from("10.0.1.1")); // full: C goes, as A did
    ExchangeRules slow = from("10.0.0.1");
    slow.mayAddMachine = false;
    EXPECT_FALSE(store->recordReport(record("F"), ++now, slow).waiting); // over its address's rate
    const auto names = [&] {
        std::string out;
        for (const WaitingRow& w : store->waiting()) out += w.name + "@" + w.address + " ";
        return out;
    };
    EXPECT_EQ(names(), "B@10.0.2.5 D@10.0.0.1 E@10.0.1.1 ");
    EXPECT_EQ(store->machineCount(), 0);
    EXPECT_EQ(store->totals().reports, 0);

    FleetLimits limits;
    limits.maxMachines = 2;
    struct Case {
        const char* body;
        int status;
        const char* left; // still waiting after it
    } cases[] = {
        {R"({"network":"10.0.0.0/33"})", 400, "B@10.0.2.5 D@10.0.0.1 E@10.0.1.1 "},
        {R"({"network":"10.0.1.0/24","address":"10.0.1.1"})", 400, "B@10.0.2.5 D@10.0.0.1 E@10.0.1.1 "},
        {R"({"address":"10.0.0.2"})", 200, "B@10.0.2.5 D@10.0.0.1 E@10.0.1.1 "},
        {R"({"network":"10.0.2.255/23"})", 200, "D@10.0.0.1 E@10.0.1.1 "}, // host bits ignored
        {R"({"network":"10.0.0.0/16"})", 409, "E@10.0.1.1 "},            // one place left: D, seen first
    };
    for (const Case& c : cases) {
        const BodyRead<IpNetwork> network = readApprovalFromBody(c.body);
        const int status = !network.value ? 400
                           : approveWaitingFrom(*store, limits, *network.value, "admin@test", now).refused.empty() ? 200
                                                                                                            : 409;
        EXPECT_EQ(status, c.status) << c.body;
        EXPECT_EQ(names(), c.left) << c.body;
    }
    EXPECT_EQ(store->machineCount(), 2);
    const Outcome<Approval> over = approveWaiting(*store, limits, store->waiting().at(0).id, "", "admin@test", now);
    ASSERT_TRUE(over);
    EXPECT_EQ(over->refused.size(), 1u); // over the cap
    EXPECT_EQ(approveWaiting(*store, limits, 999, "", "admin@test", now).refusal(), Refusal::notFound);

    // An approved machine is served from its next record, and from where it waited when pinned.
    ExchangeRules pinned = from("10.0.0.1");
    pinned.pinAddresses = true;
    const ExchangeResult served = store->recordReport(record("D"), ++now, pinned);
    EXPECT_TRUE(!served.waiting && !served.refused && !served.newMachine);
    EXPECT_EQ(served.machineId, store->machines().at(1).id);
    EXPECT_NE(store->recordReport(record("B"), ++now, pinned).refused, nullptr);
}

// A waiting row is its first sender's: another sender of its name is only
// noted (once a minute at most), addresses inventing names churn their own
// rows, and the approval pins the machine to the address the admin chose.
TEST_P(StoreBounds, AWaitingRowIsItsFirstSendersWhoeverSendsItsName)
{
    std::unique_ptr<Store> store = GetParam().open("bounds_first_sender.db", true);
    const auto from = [](const char* address, bool pinned = false) {
        ExchangeRules r;
        r.address = address, r.pinAddresses = pinned, r.byApproval = true, r.maxWaiting = 6;
        return r;
    };
    MonitorRecord real = record("REAL");
    real.user = "alice", real.team = 7;
    MonitorRecord fake = real;
    fake.user = "mallory", fake.team = 666, fake.unit = "p6_R6_C6_G6";
    const long long id = store->recordReport(real, 1000, from("10.0.0.9")).waitingId;
    const auto row = [&](const char* name) {
        for (const WaitingRow& w : store->waiting())
            if (w.name == name) return w;
        return WaitingRow{};
    };
    struct Sender {
        long long at;
        const char* from;
        const char* other; // the other sender shown after it
        long long otherAt;
    } senders[] = {
        {1001, "10.6.6.6", "10.6.6.6", 1001},
        {1030, "10.7.7.7", "10.6.6.6", 1001}, // within the minute: not noted
        {1061, "10.7.7.7", "10.7.7.7", 1061},
    };
    for (const Sender& s : senders) {
        const ExchangeResult r = store->recordReport(fake, s.at, from(s.from));
        EXPECT_TRUE(r.waiting && !r.newMachine && r.waitingId == id && r.command == 0) << s.at;
        const WaitingRow w = row("REAL");
        EXPECT_EQ(w.address + " " + w.user + " " + std::to_string(w.team) + " " + w.unit,
                  "10.0.0.9 alice 7 " + real.unit) << s.at;
        EXPECT_EQ(w.lastSeen, 1000) << s.at;
        EXPECT_EQ(w.otherAddress, s.other) << s.at;
        EXPECT_EQ(w.otherAt, s.otherAt) << s.at;
    }
    // Three addresses invent 20 names each past the bound, while REAL
    // reports after every ten and MOVED, seen from two addresses, after every five.
    store->recordReport(record("MOVED"), 1100, from("10.0.0.8"));
    const long long moved = row("MOVED").id;
    long long now = 1100;
    for (int n = 0; n < 60; ++n) {
        const std::string address = "10.9.9." + std::to_string(n % 3);
        store->recordReport(record("FAKE" + std::to_string(n)), ++now, from(address.c_str()));
        if (n % 10 == 9) EXPECT_EQ(store->recordReport(real, ++now, from("10.0.0.9")).waitingId, id) << n;
        if (n % 5 == 4) EXPECT_EQ(store->recordReport(record("MOVED"), ++now, from("10.0.0.8")).waitingId, moved) << n;
    }
    store->recordReport(record("MOVED"), ++now, from("10.0.0.18"));
    EXPECT_EQ(store->waitingCount(), 6);
    EXPECT_EQ(row("MOVED").otherAddress, "10.0.0.18");

    FleetLimits limits;
    struct Approve {
        long long id;
        const char* address; // chosen; "" for its first sender's
        std::optional<Refusal> refused;
        const char* pinned; // the machine's, when made
    } approvals[] = {
        {id, "10.5.5.5", Refusal::conflict, nullptr}, // never seen from there
        {999, "10.0.0.9", Refusal::notFound, nullptr},
        {id, "", std::nullopt, "10.0.0.9"}, // its first sender's, whoever sent its name last
        {moved, "10.0.0.18", std::nullopt, "10.0.0.18"},
    };
    for (const Approve& a : approvals) {
        const Outcome<Approval> done = approveWaiting(*store, limits, a.id, a.address, "admin@test", now);
        EXPECT_EQ(done ? std::nullopt : std::optional<Refusal>(done.refusal()), a.refused) << a.address;
        if (a.pinned && done) {
            EXPECT_EQ(done->approved.at(0).address, a.pinned) << a.address;
        }
    }
    EXPECT_NE(store->recordReport(fake, ++now, from("10.7.7.7", true)).refused, nullptr);
    EXPECT_EQ(store->recordReport(real, ++now, from("10.0.0.9", true)).refused, nullptr);
    EXPECT_EQ(store->recordReport(record("MOVED"), ++now, from("10.0.0.18", true)).refused, nullptr);
}

TEST(IpAddress, NetworksMatchTheirAddressesOnly)
{
    struct Case {
        const char* network;
        const char* address;
        bool in;
    } cases[] = {
        {"127.0.0.0/8", "127.0.0.2", true},   {"127.0.0.0/8", "128.0.0.2", false},
        {"10.1.2.3/32", "10.1.2.3", true},    {"10.1.2.3/32", "10.1.2.4", false},
        {"10.1.2.128/25", "10.1.2.127", false}, {"10.1.2.128/25", "10.1.2.200", true},
        {"0.0.0.0/0", "192.0.2.1", true},     {"0.0.0.0/0", "2001:db8::1", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true}, {"2001:db8::/32", "2001:db9::1", false},
        {"10.0.0.0/8", "::ffff:10.9.9.9", true}, {"10.0.0.0/8", "not an address", false},
    };
    for (const Case& c : cases) {
        const std::optional<IpNetwork> n = parseNetwork(c.network);
        ASSERT_TRUE(n) << c.network;
        EXPECT_EQ(inNetwork(*n, c.address), c.in) << c.network << " " << c.address;
    }
    for (const char* bad : {"10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0/8", "/8", "::/1280", "10.0.0.0/8/8"})
        EXPECT_FALSE(parseNetwork(bad)) << bad;
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
    const auto holders = [&](int slot) {
        const std::vector<int> held = store->heldSlots();
        return std::count(held.begin(), held.end(), slot);
    };
    ASSERT_EQ(holders(5), 3);
    FleetView fleet(*store, {900, 3600});
    AlertEngine engine(*store, {900, 3600}, 0, false);
    engine.evaluate(recent);
    long long number = 0;
    number = fleet.snapshot(recent)->tag();

    EXPECT_TRUE(removeMachine(*store, gone.machineId, "admin@test"));
    EXPECT_FALSE(removeMachine(*store, gone.machineId, "admin@test"));
    FleetLimits limits;
    limits.forgetAfterDays = 90;
    EXPECT_EQ(forgetSilentMachines(*store, limits, recent), 1); // OLD
    EXPECT_EQ(forgetSilentMachines(*store, limits, recent), 0);

    EXPECT_EQ(holders(5), 1);
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
        const Outcome<MachineHistory> h = machineHistory(*store, limits, id, c.hours, c.points, now);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->hours, c.answeredHours) << c.hours;
        ASSERT_EQ(h->reports.size(), c.rows) << c.hours << " " << c.points;
        // Thinned evenly: the newest report is always the last one.
        EXPECT_EQ(h->reports.back().at, now) << c.hours << " " << c.points;
        EXPECT_GE(h->reports.front().at, now - c.answeredHours * 3600);
    }
    EXPECT_FALSE(machineHistory(*store, limits, id + 1, 1, 0, now));
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
