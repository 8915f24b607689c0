// Two store objects on one database, as two servers on one store: what one
// writes the other sees at its next look, and what both write at once stays
// whole. Every kind of store runs them (kStoreKinds).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "server/api/sessions.h"
#include "server/fleet/fleet_view.h"
#include "server/fresh_store.h"

using namespace pelmora::server;

namespace {
class TwoWriters : public testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        a = GetParam().open(path, true);
        b = GetParam().openBeside(path);
        ASSERT_TRUE(a && b);
    }
    // WRITE(store, i) for I in [0, COUNT) from two threads, each with a store object of its own.
    void atOnce(int count, const std::function<void(Store&, int)>& write)
    {
        std::vector<std::thread> threads;
        for (Store* store : {a.get(), b.get()})
            threads.emplace_back([&, store] {
                for (int i = 0; i < count; ++i) write(*store, i);
            });
        for (std::thread& t : threads) t.join();
    }
    const std::string path = "two_writers.db";
    std::unique_ptr<Store> a, b;
};
} // namespace

INSTANTIATE_TEST_SUITE_P(Stores, TwoWriters, kStoreKinds, storeKindName);

TEST_P(TwoWriters, WhatOneWritesTheOtherSeesAtItsNextLook)
{
    const long long known = b->recordReport(record("KNOWN", 10), 1000).machineId; // B has written too
    FleetView fleet(*b, {900, 3600});
    long long change = 0, alertChange = b->lastAlertChange();
    b->machinesChangedSince(0, change);
    const long long removals = b->removals();
    const auto listed = [&](const char* name) { return fleet.list(1100)->plain().find(name) != std::string::npos; };
    struct Case {
        const char* what;
        std::function<void()> write; // through A
        std::function<bool()> seen;  // through B
    };
    const Case cases[] = {
        {"a report", [&] { a->recordReport(record("KNOWN", 20), 1010); },
         [&] {
             const std::vector<MachineRow> rows = b->machinesChangedSince(change, change);
             return rows.size() == 1 && rows[0].progress == 20;
         }},
        {"a new machine", [&] { a->recordReport(record("NEW", 5), 1020); },
         [&] { return b->machineCount() == 2 && listed("NEW"); }},
        {"a queued command", [&] { a->queueCommand(known, "tray", "admin", 1030); },
         [&] { return b->machines()[0].pendingCommand == "tray" && b->recordReport(record("KNOWN"), 1031).command == 2; }},
        {"a slot taken", [&] {
             MonitorRecord r = record("SLOT");
             r.slot = 1;
             a->recordReport(r, 1050);
         },
         [&] {
             MonitorRecord r = record("CLAIMS");
             r.slot = 1;
             return b->freeSlot({}) == 2 && b->recordReport(r, 1050).slotShared;
         }},
        {"an alert", [&] { a->setAlerts({{known, "stalled"}}, 1060, false); },
         [&] {
             const std::vector<AlertRow> rows = b->alertsChangedSince(alertChange, alertChange);
             return rows.size() == 1 && rows[0].kind == "stalled" && b->lastAlertChange() == alertChange;
         }},
        {"a removal", [&] { a->removeMachines({known}); },
         [&] { return b->removals() == removals + 1 && b->machineCount() == 3 && !listed("KNOWN"); }},
    };
    ASSERT_TRUE(listed("KNOWN"));
    ASSERT_EQ(b->freeSlot({}), 1); // B has offered a slot before
    for (const Case& c : cases) {
        c.write();
        EXPECT_TRUE(c.seen()) << c.what;
    }
}

TEST_P(TwoWriters, WhatBothWriteAtOnceStaysWhole)
{
    // The same first reports from both: one machine each, whoever came first.
    atOnce(40, [](Store& s, int i) { s.recordReport(record("PC" + std::to_string(i)), 1000); });
    EXPECT_EQ(a->machineCount(), 40);
    EXPECT_EQ(b->totals().reports, 80); // each report counted once, the one that lost the race too
    // Commands for one machine from both: one pending at any time.
    const long long id = a->machines()[0].id;
    atOnce(40, [id](Store& s, int i) { s.queueCommand(id, i % 2 ? "tray" : "restart", "admin", 1000 + i); });
    const std::vector<CommandRow> commands = b->commands(id, 100);
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const CommandRow& c) { return c.state == "pending"; }), 1);
    // New machines under the cap from both: the cap holds for the two together.
    ExchangeRules capped;
    capped.maxMachines = 60;
    atOnce(30, [&](Store& s, int i) {
        s.recordReport(record((&s == a.get() ? "A" : "B") + std::to_string(i)), 1000, capped);
    });
    EXPECT_EQ(b->machineCount(), 60);
}

TEST_P(TwoWriters, AWebhookEventIsClaimedByOneServerUntilItsClaimRunsOut)
{
    for (const char* name : {"PC1", "PC2"}) {
        const long long id = a->recordReport(record(name), 1000).machineId;
        a->setAlerts({{id, "stalled"}}, 1000, true);
    }
    struct Step { const char* what; Store* by; const char* holder; int limit; long long claimMs; std::size_t claimed; };
    const Step steps[] = {
        {"A claims the first", a.get(), "A", 1, 60000, 1},
        {"B waits behind A's claim, not past it", b.get(), "B", 10, 60000, 0},
        {"A claims the rest beside its own", a.get(), "A", 10, 60000, 2},
        {"A's claims renewed, to run out at once", a.get(), "A", 10, 1, 2},
        {"B takes them once they ran out", b.get(), "B", 10, 60000, 2},
        {"A waits behind B's claim", a.get(), "A", 10, 60000, 0},
    };
    for (const Step& s : steps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(s.by->claimAlertEvents(s.holder, s.limit, s.claimMs).size(), s.claimed) << s.what;
    }
    b->markAlertEventsSent(b->claimAlertEvents("B", 10, 60000), 1001);
    EXPECT_TRUE(a->pendingAlertEvents(10).empty());
    EXPECT_TRUE(b->claimAlertEvents("B", 10, 60000).empty()); // sent: claimed by nobody again
}

TEST_P(TwoWriters, SignInIsTheSameOnBoth)
{
    // Both ask at once, each with a token of its own: both end with one.
    std::optional<std::string> onB;
    std::thread asking([&] { onB = b->sharedAdminToken("made-by-b-0123456789"); });
    const std::optional<std::string> onA = a->sharedAdminToken("made-by-a-0123456789");
    asking.join();
    // A SQLite store keeps none: its one server reads the file beside it.
    ASSERT_EQ(onA.has_value(), GetParam().name != std::string("Sqlite"));
    const std::string token = onA.value_or("file-token-0123456789");
    EXPECT_EQ(onB.value_or(token), token);
    EXPECT_EQ(a->sharedAdminToken("made-later-0123456789").value_or(token), token);

    // A session made through one server is one on the other; its sign-out too.
    Sessions signingIn(*a, token, ""), checking(*b, token, "");
    const std::optional<SessionRow> session = signingIn.signIn(token, "127.0.0.1", 1000);
    ASSERT_TRUE(session);
    HttpRequest req;
    req.headers.emplace_back("Cookie", std::string(kSessionCookie) + "=" + session->id);
    EXPECT_EQ(checking.identify(req, 1001).role, Role::admin);
    checking.signOut(session->id, 1001);
    EXPECT_EQ(signingIn.identify(req, 1002).role, Role::none);
}

// Two servers writing batches of the same machines in opposite orders: no
// failure comes out (a deadlock would be tried again, not lost), nothing is lost.
TEST_P(TwoWriters, BatchesInOppositeOrdersNeitherFailNorLoseARecord)
{
    constexpr int kMachines = 30, kRounds = 20;
    for (int i = 0; i < kMachines; ++i) a->recordReport(record("PC" + std::to_string(i), 0), 1000);
    atOnce(kRounds, [&](Store& s, int round) {
        std::vector<ReportWrite> batch;
        for (int i = 0; i < kMachines; ++i)
            batch.push_back({record("PC" + std::to_string(&s == a.get() ? i : kMachines - 1 - i), round + 1),
                             1001 + round, {}});
        EXPECT_NO_THROW(s.recordReports(batch));
    });
    EXPECT_EQ(b->totals().reports, kMachines * (1 + 2 * kRounds));
    for (const MachineRow& m : b->machines()) EXPECT_EQ(m.progress, kRounds) << m.name;
}
