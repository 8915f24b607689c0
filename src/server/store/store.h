// The server's store, as the rest of the server sees it: one interface a
// concern (machines and their reports, identities waiting for approval,
// commands, units, sign-in sessions, alerts, the webhook's queue, the history of points and statuses) and `Store`, all of them over one database.
// Any method may throw StoreError when the store fails underneath, and
// StoreUnreachable when it cannot be reached at all.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/store/rows.h"

namespace pelmora::server {

// A machine's alerts kept (its open ones and its last resolved ones).
inline constexpr int kAlertsKept = 50;
// The users a day of the points history keeps rows for: as many as
// machines a big fleet has, each of its own user.
inline constexpr int kPointsUsersADay = 10000;

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The store cannot be reached (a database server down or restarting) and
// the call wrote nothing: the same write may be made again later.
class StoreUnreachable : public StoreError {
public:
    using StoreError::StoreError;
};

class MachineStore {
public:
    virtual ~MachineStore() = default;

    // A report after a silence longer than this (the offline limit) marks
    // the machine's return: it made no progress while away, which is not a stall.
    virtual void setOfflineAfter(long long seconds) = 0;
    // The step of the history (history_rule.h): at most two rows a machine a step.
    virtual void setHistoryResolution(long long seconds) = 0;
    // One record: the machine, its history, its pending command (given and
    // marked delivered for a periodic record; an exit record marks the
    // machine stopped, frees its slot and drops a pending exit).
    // RULES may refuse it (RESULT.refused says why; nothing is written but
    // the refused sender on a pinned machine's row, or a new identity's
    // waiting row, RESULT.waiting). The sender's address (RULES.address) is
    // what unit submissions are matched against.
    ExchangeResult recordReport(const MonitorRecord& record, long long now, const ExchangeRules& rules = {})
    {
        return recordReports({ReportWrite{record, now, rules}}).front();
    }
    // Records that came together, each as recordReport takes it, in their
    // order, all in one transaction: the results in the same order, or
    // nothing written at all (it throws).
    virtual std::vector<ExchangeResult> recordReports(const std::vector<ReportWrite>& reports) = 0;

    virtual bool machineExists(long long id) = 0;
    virtual std::vector<MachineRow> machines() = 0;
    // The machines written after change number SINCE (0: all), and in
    // LATEST the number of the last change they include. Every write to a
    // machine, or to its commands, takes the next number in its transaction,
    // whichever server writes, and the numbers commit in order: a reader
    // never passes over a number that commits late. Cheap when nothing
    // changed: one small read of the store's last number.
    virtual std::vector<MachineRow> machinesChangedSince(long long since, long long& latest) = 0;
    // Slots held by machines that have not stopped, once per holder.
    virtual std::vector<int> heldSlots() = 0;
    // The slot to offer a connection: the first in the offering order
    // (store/slot_order.h) that no machine that has not stopped holds, in the
    // store whoever wrote it, and that is not in OFFERED (the server's own
    // open connections'); 0 when none is left. One read of the slots' index.
    // A store several servers share offers each server only slots leased to
    // it, the first free ones, so no two offer one slot at once: the slots in
    // OFFERED stay leased to it, and a server that ends leaves its leases to
    // run out. The lease is taken again, one more write, every few new machines.
    virtual int freeSlot(const std::vector<int>& offered) = 0;
    // The reports of a machine since SINCE, MOST at most: the last of each
    // equal span of time when there are more.
    virtual std::vector<ReportRow> history(long long machineId, long long since, long long until, int most) = 0;
    // The machine's last report before AT: its values when a span from AT begins.
    virtual std::optional<ReportRow> reportBefore(long long machineId, long long at) = 0;
    virtual long long pruneReports(long long before) = 0;
    // Removes the oldest reports of the whole fleet, MOST at most; how many.
    // A machine's last day (the day before its last report) is kept.
    virtual long long thinOldestReports(int most) = 0;

    // Removing machines, with their reports, commands and alerts. Each
    // removal takes the next removal number, kept in the store, so the
    // fleet's views, in any server, can tell they must read every machine again.
    virtual std::vector<MachineRow> removeMachines(const std::vector<long long>& ids) = 0;
    // The machines that sent nothing since BEFORE, at most LIMIT of them.
    virtual std::vector<long long> silentMachines(long long before, int limit) = 0;
    virtual long long removals() = 0;
    virtual long long machineCount() = 0;
    // Forgets a machine's address, so its next record's is taken (pinned).
    // The address it had, or nothing when there is no such machine.
    virtual std::optional<std::string> clearAddress(long long machineId, long long now) = 0;
    // Moves a machine's address to ADDRESS at once (a pinned machine that
    // moved): from then its records from any other are refused. The address
    // it had, or nothing when there is no such machine.
    virtual std::optional<std::string> moveAddress(long long machineId, const std::string& address,
                                                   long long now) = 0;
    // Mutes the machine's alerts until UNTIL (0: ends a mute). False when
    // there is no such machine. In the store, so every server and a restart keep it.
    virtual bool muteMachine(long long machineId, long long until) = 0;
};

// New identities waiting for the admin's approval. recordReport puts them
// here (ExchangeRules::byApproval); they take no place among the machines.
class WaitingStore {
public:
    virtual ~WaitingStore() = default;

    virtual std::vector<WaitingRow> waiting() = 0; // first seen first
    virtual long long waitingCount() = 0;
    // Makes the waiting rows IDS machines (gone from the list), while the
    // store holds fewer than MAX_MACHINES (0: no cap); ids not waiting are
    // passed over. Each machine has ADDRESS (the one the admin chose), else
    // its waiting row's: its first sender's.
    virtual Approval approve(const std::vector<long long>& ids, long long maxMachines, long long now,
                             const std::string& address = {}) = 0;
};

class CommandStore {
public:
    virtual ~CommandStore() = default;

    // At most one pending command a machine (the store holds to it whoever
    // writes): a new one replaces it.
    virtual std::optional<CommandRow> queueCommand(long long machineId, const std::string& command,
                                                   const std::string& by, long long now) = 0;
    // Cancels the machine's pending command (COMMAND_ID 0: whichever it is;
    // MACHINE_ID 0: whichever machine's command COMMAND_ID is).
    virtual std::optional<CommandRow> cancelCommand(long long machineId, long long commandId,
                                                    const std::string& by, long long now) = 0;
    // A command whose answer could not be sent goes back to pending.
    virtual void undeliver(long long commandId) = 0;
    virtual std::vector<CommandRow> commands(long long machineId, int limit) = 0;
};

class UnitStore {
public:
    virtual ~UnitStore() = default;

    // The unit is attributed to the machine whose current or previous unit
    // has its name (one at PEER first, then one of its user and team, then
    // one whose WU# agrees, then the one seen last), and stored with that
    // machine's points and core for it; with no such machine, to none.
    virtual UnitCounts addUnit(const UnitSubmission& unit, long long now, const std::string& peer = "") = 0;
    // Units that came earlier, each attributed and stored as addUnit does
    // (no counts read), in as few transactions as the store allows: all
    // or none of them stored.
    struct LateUnit {
        UnitSubmission unit;
        long long at = 0;
        std::string peer;
    };
    virtual void addUnits(const std::vector<LateUnit>& units)
    {
        for (const LateUnit& u : units) addUnit(u.unit, u.at, u.peer);
    }
    virtual std::vector<UnitRow> units(const UnitFilter& filter) = 0;
    virtual std::vector<DayUserSummary> summary(long long since) = 0;
    virtual std::vector<CpuSummary> cpus() = 0; // the submitted units by CPU, most units first
    virtual std::vector<UserUnits> unitsByUser(long long since) = 0; // submitted at or after SINCE
};

// The dashboard's sign-in sessions.
class SessionStore {
public:
    virtual ~SessionStore() = default;

    virtual void addSession(const SessionRow& session) = 0;
    virtual std::optional<SessionRow> session(const std::string& id, long long now) = 0;
    // Drops session ID (may be empty) and every one expired by EXPIRED_BY.
    virtual void removeSessions(const std::string& id, long long expiredBy) = 0;
};

// At most one open alert of a kind a machine (the store holds to it, across
// restarts). Each raise and each resolution takes the next alert change
// number, a sequence of its own, committed in order like the machines'.
class AlertStore {
public:
    virtual ~AlertStore() = default;

    virtual std::vector<AlertRow> alerts(const AlertFilter& filter) = 0; // newest first
    // For the live event stream: the alerts raised or resolved after change
    // number SINCE, oldest change first, and in LATEST the number of the last
    // one included (SINCE when none). Start from lastAlertChange() to get only
    // what happens from then on. Cheap when nothing changed: one small read.
    virtual std::vector<AlertRow> alertsChangedSince(long long since, long long& latest) = 0;
    virtual long long lastAlertChange() = 0;
    // Brings each machine's open alert to the wanted kind: resolves an open
    // one of another kind, raises the wanted one unless it is open; a
    // machine keeps its last kAlertsKept alerts (its oldest resolved ones
    // go, sent or not: a flapping machine must not grow the store). With
    // FOR_WEBHOOK false the events are marked as never to be sent (no webhook
    // is set). Returns the alerts raised or resolved, in change order.
    virtual std::vector<AlertRow> setAlerts(const std::vector<AlertWanted>& wanted, long long now,
                                            bool forWebhook) = 0;
    virtual AlertCounts alertCounts() = 0;
    // Removes alerts resolved before BEFORE whose events are all dealt with.
    virtual long long pruneAlerts(long long before) = 0;
    // Removes the alerts resolved first, MOST at most, whether their events
    // were sent or not, but none resolved within a day of its machine's last
    // report (the store's bound); how many.
    virtual long long thinOldestAlerts(int most) = 0;
};

// The events the webhook has still to deliver.
class WebhookQueue {
public:
    virtual ~WebhookQueue() = default;

    // The first LIMIT undelivered events, lowest number first.
    virtual std::vector<AlertEvent> pendingAlertEvents(int limit) = 0;
    // The first LIMIT undelivered events, claimed for HOLDER for CLAIM_MS
    // milliseconds, so that no other server posts them meanwhile: those no
    // one claims, or whose claim ran out, or that HOLDER claimed already. Only
    // the run before the first event another holder still claims, so none
    // overtakes it. The claim must outlast a whole post: one that runs out
    // while its post is under way lets the event go twice.
    virtual std::vector<AlertEvent> claimAlertEvents(const std::string& holder, int limit, long long claimMs) = 0;
    // A summary of many is marked sent whole or not at all; their claims end.
    virtual void markAlertEventsSent(const std::vector<AlertEvent>& events, long long now) = 0;
};

// The lease on the team's duties (pruning, alerts, the webhook), which one
// server at a time holds when several share the store.
class LeaseStore {
public:
    virtual ~LeaseStore() = default;

    // Takes or renews the lease for HOLDER for SECONDS, on the store's own
    // clock, when it is HOLDER's or has run out; whether HOLDER holds it now.
    // SECONDS 0 gives up a lease HOLDER holds.
    virtual bool holdLease(const std::string& holder, int seconds) = 0;
};

// What the team made over time: the estimated points per day sampled once
// an hour (the fleet's each hour, each user's and machine's summed by day,
// so a big fleet keeps a row a subject a day, not an hour), beside the
// points of the units finished each day; and each machine's changes of status.
class HistoryStore {
public:
    virtual ~HistoryStore() = default;

    // The sample of the hour starting at HOUR, the fleet's first in SAMPLES
    // (then users' and machines' above 0): written once an hour whoever
    // asks, across restarts and servers. False when the hour had its sample.
    // A day keeps rows for kPointsUsersADay users at most: those that
    // come first in SAMPLES (the most points first) when the day is full.
    virtual bool samplePoints(long long hour, const std::vector<PointsSample>& samples) = 0;
    // SUBJECT's days FROM_DAY to TO_DAY (days since the epoch, UTC), and
    // its estimate in the last hour the store sampled.
    virtual PointsHistory pointsHistory(const PointsSubject& subject, long long fromDay, long long toDay) = 0;
    // What a points history depends on besides the day: while it stays the
    // same, a points history the store gave is still its answer. One small read.
    virtual PointsMark pointsMark() = 0;
    // Removes the samples of the days before BEFORE_DAY; how many rows.
    virtual long long prunePoints(long long beforeDay) = 0;
    // Removes the oldest days' samples, MOST rows at most, the last day
    // sampled kept (the store's bound); how many.
    virtual long long thinOldestPoints(int most) = 0;

    // Each event whose status differs from its machine's last one is kept;
    // a machine keeps its last KEEP events.
    virtual void addStatusEvents(const std::vector<StatusEvent>& events, int keep) = 0;
    virtual std::vector<StatusEvent> statusEvents(long long machineId, int limit) = 0; // newest first
    virtual std::vector<StatusEvent> lastStatuses() = 0; // each machine's last event
    virtual long long pruneStatusEvents(long long before) = 0;
    // Removes the oldest events, MOST at most, but none of a machine's last
    // day (the day before its last event) (the store's bound); how many.
    virtual long long thinOldestStatusEvents(int most) = 0;
};

// Word of changes written to the store by any server on it, soon after they
// commit, so a server's pages need not wait for their next look.
class ChangeSignal {
public:
    virtual ~ChangeSignal() = default;
    // Waits up to MILLISECONDS for word of a change (longer only while
    // making its connection again, by at most the store's connect timeout);
    // true when some came, or may have been missed (the connection was made again).
    virtual bool wait(int milliseconds) = 0;
};

// The store's own housekeeping, run by the server's maintenance thread:
// often a light pass that never waits on a writer, and at each hourly prune
// a thorough one that may wait and gives back the room a burst took.
enum class Upkeep { frequent, thorough };

class Store : public MachineStore,
              public WaitingStore,
              public CommandStore,
              public UnitStore,
              public SessionStore,
              public AlertStore,
              public WebhookQueue,
              public LeaseStore,
              public HistoryStore {
public:
    virtual Totals totals() = 0;
    // A write that is kept, so a store that cannot be written (a read-only
    // file or folder, a full disk) is found at start. False with ERROR.
    virtual bool writable(std::string& error) = 0;
    virtual void upkeep(Upkeep kind) = 0;
    // The bytes the store's data takes now (its log of recent writes aside).
    virtual long long sizeBytes() = 0;
    // Whether the store can be reached now (a database server may not be):
    // the health check's "not ready" while it cannot. A file always can.
    virtual bool ready() { return true; }
    // The admin token every server on the store shares, when the store keeps
    // one (a database several servers share): the one kept, MADE if none was
    // (the first server to ask writes it, the others read it). Nothing when
    // the store keeps none: a SQLite store's token is a file beside it.
    virtual std::optional<std::string> sharedAdminToken(const std::string& made)
    {
        (void)made;
        return std::nullopt;
    }
    // A new signal of changes, for one thread; nothing when the store has
    // no other writer to hear of (a SQLite store is one server's).
    virtual std::unique_ptr<ChangeSignal> changeSignal() { return nullptr; }
};

} // namespace pelmora::server
