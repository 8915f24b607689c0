#include "server/store/sqlite/migrations.h"

#include <string>

#include "server/store/sqlite/statement.h"

namespace pelmora::server {
namespace {

// Each step brings the schema one version up; the store's user_version
// says how many have run. Steps are only ever added at the end.
const char* const kMigrations[] = {
    R"(CREATE TABLE machines (
         id INTEGER PRIMARY KEY, name TEXT NOT NULL, cpu INTEGER NOT NULL, slot INTEGER NOT NULL,
         user TEXT NOT NULL, team INTEGER NOT NULL, unit TEXT NOT NULL, progress INTEGER NOT NULL,
         core TEXT NOT NULL, frames INTEGER NOT NULL, points INTEGER NOT NULL, units_seen INTEGER NOT NULL,
         cpu_mhz REAL NOT NULL, cpu_vendor TEXT NOT NULL, in_tray INTEGER NOT NULL, stopped INTEGER NOT NULL,
         first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, unit_since INTEGER NOT NULL,
         unit_first_progress INTEGER NOT NULL, changed_at INTEGER NOT NULL,
         prev_unit TEXT NOT NULL DEFAULT '', prev_points INTEGER NOT NULL DEFAULT 0,
         UNIQUE (name, cpu));
       CREATE TABLE reports (machine_id INTEGER NOT NULL, at INTEGER NOT NULL, progress INTEGER NOT NULL,
         unit TEXT NOT NULL, in_tray INTEGER NOT NULL);
       CREATE INDEX reports_by_machine ON reports (machine_id, at);
       CREATE TABLE units (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, user TEXT NOT NULL, team INTEGER NOT NULL,
         machine INTEGER NOT NULL, wucount INTEGER NOT NULL, cpu_vendor TEXT NOT NULL, cpu_string TEXT NOT NULL,
         cpu_mhz INTEGER NOT NULL, frame_minutes REAL NOT NULL, protein TEXT NOT NULL, core TEXT NOT NULL,
         memory_mib INTEGER NOT NULL, points INTEGER NOT NULL);
       CREATE INDEX units_by_user ON units (user);
       CREATE INDEX units_by_team ON units (team);
       CREATE TABLE commands (id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL, command TEXT NOT NULL,
         state TEXT NOT NULL, requested_at INTEGER NOT NULL, requested_by TEXT NOT NULL,
         delivered_at INTEGER, cancelled_at INTEGER, cancelled_by TEXT);
       CREATE INDEX commands_by_machine ON commands (machine_id, state);
       CREATE TABLE totals (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
       INSERT INTO totals VALUES ('reports', 0);)",
    // Change numbers, so a reader can ask for the machines written since.
    "ALTER TABLE machines ADD COLUMN change INTEGER NOT NULL DEFAULT 0;",
    // The dashboard's sign-in sessions, so a restart signs nobody out.
    R"(CREATE TABLE sessions (id TEXT PRIMARY KEY, role TEXT NOT NULL, csrf TEXT NOT NULL,
         expires INTEGER NOT NULL);)",
    // Alerts. change is the number of the last write (the raise, then the
    // resolution). raise_sent and resolve_sent: NULL while the webhook has
    // the event still to deliver, else when it was delivered (0: never sent,
    // no webhook was set).
    R"(CREATE TABLE alerts (id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL, kind TEXT NOT NULL,
         raised_at INTEGER NOT NULL, resolved_at INTEGER, raised_change INTEGER NOT NULL, change INTEGER NOT NULL,
         raise_sent INTEGER, resolve_sent INTEGER);
       CREATE UNIQUE INDEX alerts_open ON alerts (machine_id, kind) WHERE resolved_at IS NULL;
       CREATE INDEX alerts_by_machine ON alerts (machine_id, id);
       CREATE INDEX alerts_by_change ON alerts (change);
       CREATE INDEX alerts_raise_due ON alerts (raised_change) WHERE raise_sent IS NULL;
       CREATE INDEX alerts_resolve_due ON alerts (change) WHERE resolved_at IS NOT NULL AND resolve_sent IS NULL;
       INSERT INTO totals VALUES ('alerts_raised', 0);)",
    // What a submitted unit is matched with: the core of the machine's
    // previous unit and the address it reports from; when it came back from
    // a silence; the pace window; the machine a unit was attributed to, and
    // the core its monitor submitted.
    R"(ALTER TABLE machines ADD COLUMN prev_core TEXT NOT NULL DEFAULT '';
       ALTER TABLE machines ADD COLUMN address TEXT NOT NULL DEFAULT '';
       ALTER TABLE machines ADD COLUMN resumed_at INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN pace_at INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN pace_progress INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN pace_next_at INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN pace_next_progress INTEGER NOT NULL DEFAULT 0;
       UPDATE machines SET pace_at = unit_since, pace_progress = unit_first_progress, pace_next_at = unit_since,
         pace_next_progress = unit_first_progress;
       ALTER TABLE units ADD COLUMN machine_id INTEGER;
       ALTER TABLE units ADD COLUMN submitted_core TEXT;
       CREATE INDEX units_by_machine_id ON units (machine_id);
       CREATE INDEX units_by_time ON units (at);
       INSERT INTO totals VALUES ('records_clamped', 0);)",
    // Who speaks for a machine: the address before the last change of its
    // address (the step before keeps the last one), and the address that
    // took each command. last_seen indexed for forgetting silent machines.
    R"(ALTER TABLE machines ADD COLUMN previous_address TEXT NOT NULL DEFAULT '';
       ALTER TABLE machines ADD COLUMN address_changed_at INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE commands ADD COLUMN delivered_to TEXT;
       CREATE INDEX machines_by_last_seen ON machines (last_seen);)",
    // History keeps a row a change, at most two a machine a resolution step
    // (history_rule.h): the machine remembers its latest row, which a change
    // within the step overwrites. A row says whether the machine had stopped
    // and when the silence before it began.
    R"(ALTER TABLE machines ADD COLUMN history_rowid INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN history_at INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE machines ADD COLUMN history_second INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE reports ADD COLUMN stopped INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE reports ADD COLUMN silent_from INTEGER NOT NULL DEFAULT 0;)",
    // Admission: new identities waiting for the admin's approval, the least
    // recently seen dropped first; and the last address refused for a
    // pinned machine, with when it last asked.
    R"(CREATE TABLE waiting (id INTEGER PRIMARY KEY, name TEXT NOT NULL, cpu INTEGER NOT NULL, user TEXT NOT NULL,
         team INTEGER NOT NULL, unit TEXT NOT NULL, address TEXT NOT NULL, first_seen INTEGER NOT NULL,
         last_seen INTEGER NOT NULL, UNIQUE (name, cpu));
       CREATE INDEX waiting_by_last_seen ON waiting (last_seen);
       ALTER TABLE machines ADD COLUMN refused_address TEXT NOT NULL DEFAULT '';
       ALTER TABLE machines ADD COLUMN refused_at INTEGER NOT NULL DEFAULT 0;)",
    // The store as the one truth for several writers: the last change
    // numbers, the removals and the changes of who holds a slot as counter
    // rows, taken in each writing transaction; one pending command a machine as a constraint (the
    // newest kept where a store has more); the slots held by their index.
    R"(INSERT INTO totals SELECT 'machine_change', coalesce(max(change), 0) FROM machines;
       INSERT INTO totals SELECT 'alert_change', coalesce(max(change), 0) FROM alerts;
       INSERT INTO totals VALUES ('removals', 0);
       INSERT INTO totals VALUES ('slot_change', 0);
       CREATE INDEX machines_holding_slot ON machines (slot) WHERE stopped = 0 AND slot != 0;
       UPDATE commands SET state = 'cancelled', cancelled_at = requested_at, cancelled_by = 'replaced'
         WHERE state = 'pending' AND id NOT IN (SELECT max(id) FROM commands WHERE state = 'pending' GROUP BY machine_id);
       CREATE UNIQUE INDEX commands_one_pending ON commands (machine_id) WHERE state = 'pending';)",
    // The machines written since a change number, found without reading
    // every row: each look at the fleet asks, and a fleet may be 10,000.
    "CREATE INDEX machines_by_change ON machines (change);",
    // The points history: the fleet's estimated points per day each hour
    // (the hour its key, so it is sampled once whoever asks), each user's
    // (kind 1) and machine's (kind 2, SUBJECT its id) summed by day; and
    // each machine's changes of status.
    R"(CREATE TABLE points_hours (hour INTEGER PRIMARY KEY, ppd INTEGER NOT NULL);
       CREATE TABLE points_days (kind INTEGER NOT NULL, team INTEGER NOT NULL, subject TEXT NOT NULL,
         day INTEGER NOT NULL, ppd_sum INTEGER NOT NULL, PRIMARY KEY (kind, team, subject, day)) WITHOUT ROWID;
       CREATE INDEX points_days_by_day ON points_days (day);
       CREATE TABLE status_events (id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL, at INTEGER NOT NULL,
         status TEXT NOT NULL);
       CREATE INDEX status_events_by_machine ON status_events (machine_id, id);
       CREATE INDEX status_events_by_time ON status_events (at);)",
    // A maintenance mute: no alert is raised for the machine until then.
    "ALTER TABLE machines ADD COLUMN muted_until INTEGER NOT NULL DEFAULT 0;",
    // The webhook's events a server is posting: no other posts them until
    // UNTIL_MS (milliseconds since the epoch).
    R"(CREATE TABLE webhook_claims (alert_id INTEGER NOT NULL, resolution INTEGER NOT NULL, holder TEXT NOT NULL,
         until_ms INTEGER NOT NULL, PRIMARY KEY (alert_id, resolution)) WITHOUT ROWID;)",
    // Every exchange moves its machine's last_seen: the index cost each one
    // about two more pages written, for the hourly look for silent
    // machines, which now reads every machine once an hour instead.
    "DROP INDEX machines_by_last_seen;",
    // A waiting row is its first sender's: another sender of its name is noted
    // beside it; the bound drops from the address holding most. An approved
    // machine that has not reported yet holds progress 0, which is no mark to
    // measure its pace from.
    R"(ALTER TABLE waiting ADD COLUMN other_address TEXT NOT NULL DEFAULT '';
       ALTER TABLE waiting ADD COLUMN other_at INTEGER NOT NULL DEFAULT 0;
       DROP INDEX waiting_by_last_seen;
       CREATE INDEX waiting_by_address ON waiting (address, last_seen);
       UPDATE machines SET pace_at = 0, pace_next_at = 0 WHERE core = '' AND cpu_vendor = '' AND cpu_mhz = 0
         AND units_seen = 0 AND frames = 0 AND points = 0 AND progress = 0;)",
    // Each user's and machine's estimate in the last hour sampled, so the
    // points history's "now" is read from its own rows, not the fleet's.
    R"(ALTER TABLE points_days ADD COLUMN last_hour INTEGER NOT NULL DEFAULT 0;
       ALTER TABLE points_days ADD COLUMN last_ppd INTEGER NOT NULL DEFAULT 0;)",
};
constexpr int kSchemaVersion = sizeof kMigrations / sizeof kMigrations[0];

} // namespace

void migrate(sqlite3* db)
{
    int version = 0;
    {
        Statement s(db, "PRAGMA user_version");
        if (s.step()) version = s.whole(0);
    }
    if (version > kSchemaVersion)
        throw StoreError("the store has schema version " + std::to_string(version) + ", newer than this server's " +
                         std::to_string(kSchemaVersion));
    for (; version < kSchemaVersion; ++version) {
        Transaction t(db);
        execute(db, kMigrations[version]);
        execute(db, ("PRAGMA user_version = " + std::to_string(version + 1)).c_str());
        t.commit();
    }
}

int schemaVersion() { return kSchemaVersion; }

} // namespace pelmora::server
