// Identity, slots, the command queue and status, through the store as the
// listener uses it; the store across a restart and after SIGKILL.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "server/fleet_view.h"
#include "server/machine_status.h"
#include "server/slots.h"
#include "server/store.h"

using namespace pelmora_server;

namespace {
MonitorRecord report(const std::string& name, int cpu, int slot, int progress = 10, bool exiting = false)
{
    MonitorRecord r;
    r.computerName = name;
    r.cpu = cpu;
    r.slot = slot;
    r.progress = progress;
    r.unit = "p1234_sample";
    r.exiting = exiting;
    return r;
}

class StoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::remove(path.c_str());
        std::remove((path + "-wal").c_str());
        reopen();
    }
    void reopen()
    {
        store.reset();
        std::string error;
        store = Store::open(path, error);
        ASSERT_TRUE(store) << error;
    }
    const std::string path = "store_test.db";
    std::unique_ptr<Store> store;
};
} // namespace

TEST(Slots, LowestFreeFirstThenNegativesThenNone)
{
    SlotTable slots({1, 3});
    EXPECT_EQ(slots.offer(), 2);
    EXPECT_EQ(slots.offer(), 4); // 2 is offered to a connection still open
    slots.release(2);
    EXPECT_EQ(slots.offer(), 2);
    slots.move(3, 0); // its machine stopped
    EXPECT_EQ(slots.offer(), 3);
    for (int i = 5; i <= 127; ++i) slots.move(0, i);
    EXPECT_EQ(slots.offer(), -128);
    for (int i = -127; i <= -1; ++i) slots.move(0, i);
    EXPECT_EQ(slots.offer(), 0);
}

TEST_F(StoreTest, IdentityIsNameAndCpuAndSlotsSurviveARestart)
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

TEST_F(StoreTest, OneCommandAtATimeGivenOnceAndAudited)
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

TEST_F(StoreTest, AKilledServerKeepsEveryCommittedExchange)
{
    store.reset();
    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        std::unique_ptr<Store> s = Store::open(path, error);
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

TEST(MachineStatus, FromTheRowsAndTheClock)
{
    MachineRow m;
    m.lastSeen = 10000;
    m.unitSince = 0;
    m.unitFirstProgress = 0;
    m.changedAt = 3600;
    m.progress = 10; // 10% an hour
    const StatusLimits limits{900, 3600};
    struct Case {
        long long now;
        bool stopped;
        const char* status;
    } cases[] = {{10000, false, "stalled"}, {10901, false, "offline"}, {10000, true, "stopped"}};
    for (const Case& c : cases) {
        m.stopped = c.stopped;
        EXPECT_STREQ(machineStatus(m, c.now, limits).status, c.status) << c.now;
    }
    m.stopped = false;
    m.changedAt = 7200;
    m.progress = 20;
    const MachineStatus s = machineStatus(m, 8000, limits);
    EXPECT_STREQ(s.status, "folding");
    EXPECT_DOUBLE_EQ(*s.progressPerHour, 10.0);
    EXPECT_EQ(isoTime(*s.eta), isoTime(7200 + 8 * 3600));
}

// The event stream: what changed, once; a status that changes with the
// clock alone; and a stream that fell behind starts again from a snapshot.
TEST_F(StoreTest, TheStreamSendsEachChangeAndRestartsWhenBehind)
{
    FleetView fleet(*store, {60, 600});
    store->recordReport(report("A", 1, 1), 1000);
    long long number = 0;
    EXPECT_NE(fleet.subscribe(1000, number).find("{\"full\":true,\"machines\":[{\"id\":1,"), std::string::npos);
    std::vector<StreamMessage> messages;
    const auto statusSent = [&](long long now) {
        fleet.publish(now);
        if (!fleet.next(number, 0, messages) || messages.empty()) return std::string("none");
        number = messages.back().number;
        const std::string& data = messages.back().data;
        return data.substr(data.find("\"status\":"), 18);
    };
    statusSent(1000); // what the snapshot already held comes once more
    EXPECT_EQ(statusSent(1001), "none");
    store->recordReport(report("A", 1, 1, 11), 1002);
    EXPECT_EQ(statusSent(1002), "\"status\":\"folding\"");
    EXPECT_EQ(statusSent(1100), "\"status\":\"offline\"");
    for (int i = 0; i < 70; ++i) {
        store->recordReport(report("A", 1, 1, 12 + i), 1101 + i);
        fleet.publish(1101 + i);
    }
    EXPECT_FALSE(fleet.next(number, 0, messages));
}
