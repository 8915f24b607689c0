// The exchange's decision, with no store: each row a machine's row as read,
// a record and its rules, and what the stores are told to do.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "server/store/exchange_rule.h"

using namespace pelmora::server;

namespace {

// What a decision tells the store, in words (only those that hold).
std::string told(const ExchangeDecision& d)
{
    const char* outcomes[] = {"write", "refused", "waits", "skipped", "count"};
    std::ostringstream out;
    out << outcomes[static_cast<int>(d.outcome)];
    if (d.result.refused) out << " (" << d.result.refused << ")";
    if (d.noteRefused) out << " note";
    if (d.outcome != ExchangeOutcome::write) return out.str();
    const char* writes[] = {"none", "add", "update"};
    const std::pair<bool, const char*> flags[] = {
        {d.result.newMachine, "new"}, {d.unitChanged, "unit"},     {d.changedNow, "changed"},
        {d.returns, "returns"},       {d.slotColumns, "slot"},     {d.slotMoved, "moved"},
        {d.checkShared, "shared?"},   {d.cancelExit, "cancel"},    {d.deliver, "deliver"},
        {d.result.addressChanged, "address"}};
    for (const auto& [on, word] : flags)
        if (on) out << " " << word;
    out << " pace@" << d.pace.start.at << " history:" << writes[static_cast<int>(d.history.write)];
    if (d.silentFrom) out << " silent@" << d.silentFrom;
    return out.str();
}

} // namespace

TEST(ExchangeRule, DecidesAsBothStoresWrite)
{
    using Change = std::function<void(std::optional<FoundMachine>&, MonitorRecord&, ExchangeRules&)>;
    const struct Case {
        const char* what;
        Change change;
        long long now = 1010;
        std::optional<long long> machines = std::nullopt;
        std::string told;
    } cases[] = {
        {"a step forward", [](auto&, auto&, auto&) {}, 1010, {}, "write changed deliver pace@900 history:update"},
        {"nothing new", [](auto&, MonitorRecord& r, auto&) { r.progress = 40; }, 1010, {},
         "write deliver pace@900 history:none"},
        {"from another address", [](auto&, auto&, ExchangeRules& x) { x.address = "10.0.0.9"; }, 1010, {},
         "write changed deliver address pace@900 history:update"},
        {"pinned, from another address",
         [](auto&, auto&, ExchangeRules& x) { x.address = "10.0.0.9", x.pinAddresses = true; }, 1010, {},
         "refused (it comes from another address than the machine's (pinned)) note"},
        {"pinned, noted a minute ago",
         [](auto& f, auto&, ExchangeRules& x) { x.address = "10.0.0.9", x.pinAddresses = true, f->refusedAt = 950; },
         1010, {}, "refused (it comes from another address than the machine's (pinned)) note"},
        {"pinned, noted under a minute ago",
         [](auto& f, auto&, ExchangeRules& x) { x.address = "10.0.0.9", x.pinAddresses = true, f->refusedAt = 951; },
         1010, {}, "refused (it comes from another address than the machine's (pinned))"},
        {"pinned, its own address", [](auto&, auto&, ExchangeRules& x) { x.pinAddresses = true; }, 1010, {},
         "write changed deliver pace@900 history:update"},
        {"new, under a cap: counted", [](auto& f, auto&, ExchangeRules& x) { f.reset(), x.maxMachines = 3; }, 1010,
         {}, "count"},
        {"new, the cap reached", [](auto& f, auto&, ExchangeRules& x) { f.reset(), x.maxMachines = 3; }, 1010, 3,
         "refused (the store holds the most machines allowed)"},
        {"new, under the cap", [](auto& f, auto&, ExchangeRules& x) { f.reset(), x.maxMachines = 3; }, 1010, 2,
         "write new slot moved shared? deliver pace@1010 history:add"},
        {"new, by approval", [](auto& f, auto&, ExchangeRules& x) { f.reset(), x.byApproval = true; }, 1010, {},
         "waits"},
        {"known, by approval", [](auto&, auto&, ExchangeRules& x) { x.byApproval = true, x.mayAddMachine = false; },
         1010, {}, "write changed deliver pace@900 history:update"},
        {"new, may not add", [](auto& f, auto&, ExchangeRules& x) { f.reset(), x.mayAddMachine = false; }, 1010, {},
         "refused (too many new machines from its address)"},
        {"a new unit", [](auto&, MonitorRecord& r, auto&) { r.unit = "U2", r.progress = 0; }, 1010, {},
         "write unit changed deliver pace@1010 history:add"},
        {"its exit record", [](auto&, MonitorRecord& r, auto&) { r.exiting = true, r.progress = 40; }, 1010, {},
         "write slot moved cancel pace@900 history:update"},
        {"back after its exit", [](auto& f, auto&, auto&) { f->stopped = true; }, 1010, {},
         "write changed slot moved deliver pace@1010 history:update"},
        {"back after a silence", [](auto&, auto&, auto&) {}, 1601, {},
         "write changed returns deliver pace@900 history:add silent@1000"},
        {"written back, older than the row", [](auto&, auto&, ExchangeRules& x) { x.givesCommand = false; }, 990, {},
         "skipped"},
        {"written back, newer than the row", [](auto&, auto&, ExchangeRules& x) { x.givesCommand = false; }, 1010,
         {}, "write changed pace@900 history:update"},
        {"written back, older, pinned elsewhere",
         [](auto&, auto&, ExchangeRules& x) { x.givesCommand = false, x.pinAddresses = true, x.address = "10.0.0.9"; },
         990, {}, "refused (it comes from another address than the machine's (pinned)) note"},
        {"another slot", [](auto&, MonitorRecord& r, auto&) { r.slot = 3; }, 1010, {},
         "write changed slot moved shared? deliver pace@900 history:update"},
    };
    for (const Case& c : cases) {
        std::optional<FoundMachine> found = FoundMachine{};
        found->id = 7, found->slot = 2, found->unit = "U1", found->progress = 40, found->lastSeen = 1000;
        found->paceAt = 900, found->paceProgress = 30, found->paceNextAt = 990, found->paceNextProgress = 39;
        found->address = "10.0.0.1", found->historyRowId = 5, found->historyAt = 1000;
        MonitorRecord r;
        r.computerName = "PC", r.slot = 2, r.unit = "U1", r.progress = 41;
        ExchangeRules rules;
        c.change(found, r, rules);
        const ExchangeDecision d = decideExchange(found, r, rules, c.now, {600, 60}, c.machines);
        EXPECT_EQ(told(d), c.told) << c.what;
        if (d.outcome == ExchangeOutcome::write) EXPECT_EQ(d.result.machineId, found ? 7 : 0) << c.what;
    }
}

TEST(ExchangeRule, AnExitRecordCancelsInItsSendersName)
{
    std::optional<FoundMachine> found = FoundMachine{};
    found->address = "10.0.0.1";
    MonitorRecord r;
    r.exiting = true;
    EXPECT_EQ(decideExchange(found, r, {}, 10, {}).cancelledBy, "machine stopped (exit record from 10.0.0.1)");
    EXPECT_EQ(decideExchange(std::nullopt, r, {}, 10, {}).cancelledBy, "machine stopped (exit record from ?)");
}

// The columns the stores write as the rule decides them: what a new unit,
// a change, a return and a new address take, and what they keep.
TEST(ExchangeRule, TheRowTakesOrKeepsItsMarks)
{
    FoundMachine was;
    was.unit = "U1", was.progress = 40, was.points = 900, was.core = "a9", was.lastSeen = 1000;
    was.unitSince = 800, was.unitFirstProgress = 20, was.prevUnit = "U0", was.prevPoints = 5, was.prevCore = "a8";
    was.changedAt = 990, was.resumedAt = 700, was.address = "10.0.0.1", was.previousAddress = "10.0.0.0";
    was.addressChangedAt = 600;
    const auto row = [](const DecidedValues& v) {
        std::ostringstream out;
        out << "unit@" << v.unitSince << "/" << v.unitFirstProgress << " prev " << v.prevUnit << "/" << v.prevPoints
            << "/" << v.prevCore << " changed@" << v.changedAt << " resumed@" << v.resumedAt << " " << v.previousAddress
            << ">" << v.address << "@" << v.addressChangedAt;
        return out.str();
    };
    const struct {
        const char* what;
        const char* unit;
        int progress;
        const char* address;
        long long now;
        std::string row;
    } cases[] = {
        {"nothing new", "U1", 40, "", 1010, "unit@800/20 prev U0/5/a8 changed@990 resumed@700 10.0.0.0>10.0.0.1@600"},
        {"a step", "U1", 41, "", 1010, "unit@800/20 prev U0/5/a8 changed@1010 resumed@700 10.0.0.0>10.0.0.1@600"},
        {"a new unit", "U2", 3, "", 1010, "unit@1010/3 prev U1/900/a9 changed@1010 resumed@700 10.0.0.0>10.0.0.1@600"},
        {"a return", "U1", 40, "", 1601, "unit@800/20 prev U0/5/a8 changed@990 resumed@1601 10.0.0.0>10.0.0.1@600"},
        {"a new address", "U1", 40, "10.0.0.2", 1010,
         "unit@800/20 prev U0/5/a8 changed@990 resumed@700 10.0.0.1>10.0.0.2@1010"},
    };
    for (const auto& c : cases) {
        MonitorRecord r;
        r.unit = c.unit, r.progress = c.progress;
        ExchangeRules rules;
        rules.address = c.address;
        EXPECT_EQ(row(decideExchange(was, r, rules, c.now, {600, 60}).row), c.row) << c.what;
    }
    MonitorRecord r;
    r.unit = "U1", r.progress = 7;
    EXPECT_EQ(row(decideExchange(std::nullopt, r, {"10.0.0.5"}, 1010, {600, 60}).row),
              "unit@1010/7 prev /0/ changed@1010 resumed@1010 >10.0.0.5@0");
}
