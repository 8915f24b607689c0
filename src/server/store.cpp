#include "server/store.h"

#include <map>
#include <sqlite3.h>

#include "server/sqlite_statement.h"

namespace pelmora_server {
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
};
constexpr int kSchemaVersion = sizeof kMigrations / sizeof kMigrations[0];

sqlite3* connect(const std::string& path, bool create, std::string& error)
{
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

const char* const kCommandNames[] = {nullptr, "exit", "tray", "restart"};

void markChanged(sqlite3* db, long long machineId, long long change)
{
    Statement s(db, "UPDATE machines SET change = ?2 WHERE id = ?1");
    s.bind(1, machineId).bind(2, change).run();
}

CommandRow readCommand(const Statement& s)
{
    CommandRow c;
    c.id = s.integer(0);
    c.machineId = s.integer(1);
    c.command = s.text(2);
    c.state = s.text(3);
    c.requestedAt = s.integer(4);
    c.requestedBy = s.text(5);
    c.deliveredAt = s.integer(6);
    c.cancelledAt = s.integer(7);
    c.cancelledBy = s.text(8);
    c.deliveredTo = s.text(9);
    return c;
}
AlertRow readAlert(const Statement& s)
{
    return {s.integer(0), s.integer(1), s.text(2), s.text(3), s.integer(4), s.integer(5), s.integer(6)};
}
constexpr const char* kAlertColumns =
    "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
    " coalesce(a.resolved_at, 0), a.change FROM alerts a LEFT JOIN machines m ON m.id = a.machine_id ";

constexpr const char* kCommandColumns =
    "SELECT id, machine_id, command, state, requested_at, requested_by, delivered_at, cancelled_at, cancelled_by,"
    " delivered_to FROM commands ";

// A write transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { execute(db_, "BEGIN IMMEDIATE"); }
    ~Transaction()
    {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit()
    {
        execute(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

} // namespace

int commandByte(const std::string& name)
{
    for (int i = 1; i <= 3; ++i)
        if (name == kCommandNames[i]) return i;
    return 0;
}

const char* commandName(int byte) { return byte >= 1 && byte <= 3 ? kCommandNames[byte] : nullptr; }

// The statements of the exchange, prepared once.
struct Store::Prepared {
    explicit Prepared(sqlite3* db)
        : findMachine(db, "SELECT id, slot, unit, progress, points, stopped, pace_at, pace_progress, pace_next_at,"
                          " pace_next_progress, last_seen, address FROM machines WHERE name = ?1 AND cpu = ?2"),
          insertMachine(db, "INSERT INTO machines (name, cpu, slot, user, team, unit, progress, core, frames, points,"
                            " units_seen, cpu_mhz, cpu_vendor, in_tray, stopped, first_seen, last_seen, unit_since,"
                            " unit_first_progress, changed_at, change, pace_at, pace_progress, pace_next_at,"
                            " pace_next_progress, address, resumed_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10,"
                            " ?11, ?12, ?13, ?14, ?15, ?16, ?16, ?16, ?7, ?16, ?19, ?20, ?21, ?22, ?23, ?24, ?16)"),
          updateMachine(db, "UPDATE machines SET slot = ?3, user = ?4, team = ?5, unit = ?6, progress = ?7,"
                            " core = ?8, frames = ?9, points = ?10, units_seen = ?11, cpu_mhz = ?12,"
                            " cpu_vendor = ?13, in_tray = ?14, stopped = ?15, last_seen = ?16,"
                            " unit_since = CASE WHEN ?17 THEN ?16 ELSE unit_since END,"
                            " unit_first_progress = CASE WHEN ?17 THEN ?7 ELSE unit_first_progress END,"
                            " prev_unit = CASE WHEN ?17 THEN unit ELSE prev_unit END,"
                            " prev_points = CASE WHEN ?17 THEN points ELSE prev_points END,"
                            " prev_core = CASE WHEN ?17 THEN core ELSE prev_core END,"
                            " changed_at = CASE WHEN ?18 THEN ?16 ELSE changed_at END, change = ?19,"
                            " pace_at = ?20, pace_progress = ?21, pace_next_at = ?22, pace_next_progress = ?23,"
                            " previous_address = CASE WHEN ?26 THEN address ELSE previous_address END,"
                            " address_changed_at = CASE WHEN ?26 THEN ?16 ELSE address_changed_at END,"
                            " address = ?24, resumed_at = CASE WHEN ?25 THEN ?16 ELSE resumed_at END WHERE id = ?1"),
          insertReport(db, "INSERT INTO reports (machine_id, at, progress, unit, in_tray) VALUES (?1, ?2, ?3, ?4, ?5)"),
          pendingCommand(db, "SELECT id, command FROM commands WHERE machine_id = ?1 AND state = 'pending'"),
          deliver(db, "UPDATE commands SET state = 'delivered', delivered_at = ?2, delivered_to = ?3 WHERE id = ?1"),
          dropExit(db, "UPDATE commands SET state = 'cancelled', cancelled_at = ?2, cancelled_by = ?3"
                       " WHERE machine_id = ?1 AND state = 'pending' AND command = 'exit'"),
          countReport(db, "UPDATE totals SET value = value + 1 WHERE name = 'reports'"),
          countClamped(db, "UPDATE totals SET value = value + 1 WHERE name = 'records_clamped'")
    {
    }
    Statement findMachine, insertMachine, updateMachine, insertReport, pendingCommand, deliver, dropExit,
        countReport, countClamped;
};

// A reader connection borrowed from the pool, given back on destruction.
class Store::Reader {
public:
    Reader(Store& store, sqlite3* db) : store_(store), db_(db) {}
    ~Reader()
    {
        std::lock_guard<std::mutex> lock(store_.readersMutex_);
        store_.idleReaders_.push_back(db_);
    }
    sqlite3* db() const { return db_; }

private:
    Store& store_;
    sqlite3* db_;
};

Store::Reader Store::borrowReader()
{
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        if (!idleReaders_.empty()) {
            sqlite3* db = idleReaders_.back();
            idleReaders_.pop_back();
            return Reader(*this, db);
        }
    }
    std::string error;
    sqlite3* db = connect(path_, false, error);
    if (!db) throw StoreError("cannot open the store for reading: " + error);
    return Reader(*this, db);
}

std::unique_ptr<Store> Store::open(const std::string& path, std::string& error)
{
    std::unique_ptr<Store> store(new Store());
    store->path_ = path;
    store->writer_ = connect(path, true, error);
    if (!store->writer_) return nullptr;
    sqlite3* db = store->writer_;
    try {
        execute(db, "PRAGMA journal_mode = WAL");
        // After a crash of the process (not of the machine) every commit is
        // there; the log is made durable at each checkpoint.
        execute(db, "PRAGMA synchronous = NORMAL");
        // The maintenance thread checkpoints; this only bounds the log if it cannot.
        execute(db, "PRAGMA wal_autocheckpoint = 20000");
        int version = 0;
        {
            Statement s(db, "PRAGMA user_version");
            if (s.step()) version = s.whole(0);
        }
        if (version > kSchemaVersion) {
            error = "the store has schema version " + std::to_string(version) + ", newer than this server's " +
                    std::to_string(kSchemaVersion);
            return nullptr;
        }
        for (; version < kSchemaVersion; ++version) {
            Transaction t(db);
            execute(db, kMigrations[version]);
            execute(db, ("PRAGMA user_version = " + std::to_string(version + 1)).c_str());
            t.commit();
        }
        store->prepared_ = std::make_unique<Prepared>(db);
        Statement last(db, "SELECT coalesce(max(change), 0) FROM machines");
        if (last.step()) store->lastChange_ = last.integer(0);
        Statement lastAlert(db, "SELECT coalesce(max(change), 0) FROM alerts");
        if (lastAlert.step()) store->lastAlertChange_ = lastAlert.integer(0);
        Statement count(db, "SELECT count(*) FROM machines");
        if (count.step()) store->machineCount_ = count.integer(0);
    } catch (const StoreError& e) {
        error = e.what();
        return nullptr;
    }
    return store;
}

Store::~Store()
{
    prepared_.reset();
    for (sqlite3* db : idleReaders_) sqlite3_close(db);
    if (writer_) {
        sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        sqlite3_close(writer_);
    }
}

ExchangeResult Store::recordReport(const MonitorRecord& r, long long now, const ExchangeRules& rules)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Prepared& p = *prepared_;
    Transaction t(writer_);
    ExchangeResult result;
    result.newSlot = r.exiting ? 0 : r.slot;

    Statement& find = p.findMachine.reset().bind(1, r.computerName).bind(2, r.cpu);
    Statement& write = find.step() ? p.updateMachine : p.insertMachine;
    // The pace window: both marks on this report unless the unit goes on forward.
    long long paceAt = now, nextAt = now;
    int paceProgress = r.progress, nextProgress = r.progress;
    std::string address = rules.address;
    if (&write == &p.updateMachine) {
        result.machineId = find.integer(0);
        result.oldSlot = find.whole(1);
        result.oldAddress = find.text(11);
        if (address.empty()) address = result.oldAddress;
        result.addressChanged = !result.oldAddress.empty() && address != result.oldAddress;
        if (result.addressChanged && rules.pinAddresses) {
            find.reset();
            result.refused = "it comes from another address than the machine's (pinned)";
            return result; // rolled back: nothing written
        }
        const bool unitChanged = find.text(2) != r.unit;
        const int oldProgress = find.whole(3);
        // Coming back after an exit starts the stall clock again.
        const bool comesBack = find.whole(5) != 0;
        const bool changed = unitChanged || oldProgress != r.progress || comesBack;
        const bool returns = now - find.integer(10) > offlineAfter_;
        if (!unitChanged && !comesBack && r.progress >= oldProgress) {
            paceAt = find.integer(6), paceProgress = find.whole(7);
            nextAt = find.integer(8), nextProgress = find.whole(9);
            // At a step forward the next mark, once half a window old, starts the window.
            if (r.progress > oldProgress && now - nextAt >= kPaceWindowSeconds / 2) {
                paceAt = nextAt, paceProgress = nextProgress;
                nextAt = now, nextProgress = r.progress;
            }
        }
        find.reset();
        write.reset().bind(1, result.machineId).bind(17, unitChanged ? 1 : 0).bind(18, changed ? 1 : 0)
            .bind(25, returns ? 1 : 0).bind(26, result.addressChanged ? 1 : 0);
    } else {
        find.reset();
        if (!rules.mayAddMachine) {
            result.refused = "too many new machines from its address";
            return result;
        }
        if (rules.maxMachines > 0 && machineCount_ >= rules.maxMachines) {
            result.refused = "the store holds the most machines allowed";
            return result;
        }
        result.newMachine = true;
        write.reset();
    }
    write.bind(2, r.cpu).bind(3, result.newSlot).bind(4, r.user).bind(5, r.team).bind(6, r.unit)
        .bind(7, r.progress).bind(8, r.core).bind(9, r.frames).bind(10, r.points).bind(11, r.unitsSeen)
        .bind(12, r.cpuMhz).bind(13, r.cpuVendor).bind(14, r.inTray ? 1 : 0).bind(15, r.exiting ? 1 : 0)
        .bind(16, now).bind(19, ++lastChange_).bind(20, paceAt).bind(21, paceProgress).bind(22, nextAt)
        .bind(23, nextProgress).bind(24, address);
    if (result.newMachine) write.bind(1, r.computerName);
    write.run();
    if (result.newMachine) result.machineId = sqlite3_last_insert_rowid(writer_);

    p.insertReport.reset().bind(1, result.machineId).bind(2, now).bind(3, r.progress).bind(4, r.unit)
        .bind(5, r.inTray ? 1 : 0).run();
    if (r.exiting) {
        p.dropExit.reset().bind(1, result.machineId).bind(2, now)
            .bind(3, "machine stopped (exit record from " + (address.empty() ? "?" : address) + ")").run();
    } else if (p.pendingCommand.reset().bind(1, result.machineId).step()) {
        result.commandId = p.pendingCommand.integer(0);
        result.command = commandByte(p.pendingCommand.text(1));
        p.pendingCommand.reset();
        p.deliver.reset().bind(1, result.commandId).bind(2, now);
        if (!address.empty()) p.deliver.bind(3, address);
        p.deliver.run();
    }
    p.countReport.reset().run();
    if (r.clamped) p.countClamped.reset().run();
    t.commit();
    if (result.newMachine) ++machineCount_;
    return result;
}

void Store::undeliver(long long commandId)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement s(writer_, "UPDATE commands SET state = 'pending', delivered_at = NULL, delivered_to = NULL WHERE id = ?1"
                         " AND state = 'delivered'");
    s.bind(1, commandId).run();
    Statement machine(writer_, "SELECT machine_id FROM commands WHERE id = ?1");
    if (machine.bind(1, commandId).step()) markChanged(writer_, machine.integer(0), ++lastChange_);
    t.commit();
}

std::optional<CommandRow> Store::commandById(sqlite3* db, long long id)
{
    Statement s(db, (std::string(kCommandColumns) + "WHERE id = ?1").c_str());
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return readCommand(s);
}

std::optional<CommandRow> Store::queueCommand(long long machineId, const std::string& command,
                                              const std::string& by, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    {
        Statement known(writer_, "SELECT 1 FROM machines WHERE id = ?1");
        if (!known.bind(1, machineId).step()) return std::nullopt;
    }
    Statement replace(writer_, "UPDATE commands SET state = 'cancelled', cancelled_at = ?2, cancelled_by = ?3"
                               " WHERE machine_id = ?1 AND state = 'pending'");
    replace.bind(1, machineId).bind(2, now).bind(3, "replaced by " + command + " from " + by).run();
    markChanged(writer_, machineId, ++lastChange_);
    Statement insert(writer_, "INSERT INTO commands (machine_id, command, state, requested_at, requested_by)"
                              " VALUES (?1, ?2, 'pending', ?3, ?4)");
    insert.bind(1, machineId).bind(2, command).bind(3, now).bind(4, by).run();
    const long long id = sqlite3_last_insert_rowid(writer_);
    t.commit();
    return commandById(writer_, id);
}

std::optional<CommandRow> Store::cancelCommand(long long machineId, long long commandId, const std::string& by,
                                               long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    if (machineId == 0 && commandId == 0) return std::nullopt; // neither named
    long long id = 0;
    {
        Statement find(writer_, "SELECT id, machine_id FROM commands WHERE (?1 = 0 OR machine_id = ?1)"
                                " AND state = 'pending' AND (?2 = 0 OR id = ?2)");
        if (!find.bind(1, machineId).bind(2, commandId).step()) return std::nullopt;
        id = find.integer(0);
        machineId = find.integer(1);
    }
    Statement cancel(writer_, "UPDATE commands SET state = 'cancelled', cancelled_at = ?2, cancelled_by = ?3"
                              " WHERE id = ?1");
    cancel.bind(1, id).bind(2, now).bind(3, by).run();
    markChanged(writer_, machineId, ++lastChange_);
    t.commit();
    return commandById(writer_, id);
}

std::vector<CommandRow> Store::commands(long long machineId, int limit)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kCommandColumns) + "WHERE machine_id = ?1 ORDER BY id DESC LIMIT ?2").c_str());
    s.bind(1, machineId).bind(2, limit);
    std::vector<CommandRow> rows;
    while (s.step()) rows.push_back(readCommand(s));
    return rows;
}

UnitCounts Store::addUnit(const UnitSubmission& u, long long now, const std::string& peer)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    // The submission names the unit (its first 35 characters) but not the
    // machine: the reports say which machine folded it, with which points
    // and core. The monitor submits before it reports its next unit, so the
    // unit is the machine's current one or, after a report, its previous.
    // Several machines may have folded a unit of that name (a copied client
    // directory): the one at the submitting address, then one of its user
    // and team, then one whose count of units agrees, then the latest.
    int points = 0;
    std::string core = u.core;
    std::optional<long long> machineId;
    {
        Statement s(writer_, "SELECT id, CASE WHEN is_current THEN points ELSE prev_points END,"
                             " CASE WHEN is_current THEN core ELSE prev_core END FROM (SELECT *,"
                             " substr(unit, 1, 35) = ?1 AS is_current FROM machines"
                             " WHERE substr(unit, 1, 35) = ?1 OR substr(prev_unit, 1, 35) = ?1)"
                             " ORDER BY address = ?2 DESC, (user = ?3 AND team = ?4) DESC,"
                             " units_seen = ?5 + 1 - is_current DESC, last_seen DESC, id LIMIT 1");
        // The unit's WU# is the count the monitor submits; a new unit has the next.
        s.bind(1, u.protein).bind(2, peer).bind(3, u.user).bind(4, u.team).bind(5, u.wucount);
        if (!u.protein.empty() && s.step()) {
            machineId = s.integer(0);
            points = s.whole(1);
            if (!s.text(2).empty()) core = s.text(2); // empty: known only from before the store kept it
            s.reset();
        }
    }
    Statement insert(writer_, "INSERT INTO units (at, user, team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz,"
                              " frame_minutes, protein, core, memory_mib, points, machine_id, submitted_core)"
                              " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
    insert.bind(1, now).bind(2, u.user).bind(3, u.team).bind(4, u.machine).bind(5, u.wucount).bind(6, u.cpuVendor)
        .bind(7, u.cpuString).bind(8, u.cpuMhz).bind(9, u.frameMinutes).bind(10, u.protein).bind(11, core)
        .bind(12, u.memoryMib).bind(13, points).bind(15, u.core);
    if (machineId) insert.bind(14, *machineId);
    insert.run();
    UnitCounts counts;
    Statement byUser(writer_, "SELECT count(*) FROM units WHERE user = ?1");
    if (byUser.bind(1, u.user).step()) counts.user = byUser.integer(0);
    Statement byTeam(writer_, "SELECT count(*) FROM units WHERE team = ?1");
    if (byTeam.bind(1, u.team).step()) counts.team = byTeam.integer(0);
    t.commit();
    return counts;
}

bool Store::machineExists(long long id)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT 1 FROM machines WHERE id = ?1");
    return s.bind(1, id).step();
}

std::vector<MachineRow> Store::machines()
{
    long long latest = 0;
    return machinesChangedSince(0, latest);
}

std::vector<MachineRow> Store::machinesChangedSince(long long since, long long& latest)
{
    latest = since;
    if (since != 0 && since == lastChange_) return {}; // nothing written since
    Reader reader = borrowReader();
    // One snapshot for the rows and the number of the last change in them.
    execute(reader.db(), "BEGIN");
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{reader.db()};
    Statement last(reader.db(), "SELECT coalesce(max(change), 0) FROM machines");
    latest = last.step() ? last.integer(0) : 0;
    last.reset();
    // Pending commands are few: read them apart rather than probe for each machine.
    std::map<long long, std::string> pending;
    Statement commands(reader.db(), "SELECT machine_id, command FROM commands WHERE state = 'pending'");
    while (commands.step()) pending[commands.integer(0)] = commands.text(1);
    std::vector<MachineRow> rows;
    Statement s(reader.db(),
                "SELECT id, name, cpu, slot, user, team, unit, progress, core, frames, points, units_seen, cpu_mhz,"
                " cpu_vendor, in_tray, stopped, last_seen, unit_since, unit_first_progress, changed_at, pace_at,"
                " pace_progress, resumed_at, address, previous_address, address_changed_at FROM machines"
                " WHERE change > ?1 ORDER BY id");
    s.bind(1, since);
    while (s.step()) {
        MachineRow& m = rows.emplace_back();
        m.id = s.integer(0);
        m.name = s.text(1);
        m.cpu = s.whole(2);
        m.slot = s.whole(3);
        m.user = s.text(4);
        m.team = s.whole(5);
        m.unit = s.text(6);
        m.progress = s.whole(7);
        m.core = s.text(8);
        m.frames = s.whole(9);
        m.points = s.whole(10);
        m.unitsSeen = s.whole(11);
        m.cpuMhz = s.real(12);
        m.cpuVendor = s.text(13);
        m.inTray = s.whole(14) != 0;
        m.stopped = s.whole(15) != 0;
        m.lastSeen = s.integer(16);
        m.unitSince = s.integer(17);
        m.unitFirstProgress = s.whole(18);
        m.changedAt = s.integer(19);
        m.paceAt = s.integer(20);
        m.paceProgress = s.whole(21);
        m.resumedAt = s.integer(22);
        m.address = s.text(23);
        m.previousAddress = s.text(24);
        m.addressChangedAt = s.integer(25);
        if (const auto it = pending.find(m.id); it != pending.end()) m.pendingCommand = it->second;
    }
    return rows;
}

std::vector<UnitRow> Store::units(const UnitFilter& f)
{
    Reader reader = borrowReader();
    // One machine's units by their own index: a machine page must not scan every team's units.
    Statement s(reader.db(),
                (std::string("SELECT at, user, team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz, frame_minutes,"
                             " protein, core, memory_mib, points, machine_id FROM units WHERE (?1 IS NULL OR user = ?1)"
                             " AND (?2 IS NULL OR team = ?2) AND (?3 IS NULL OR machine = ?3)") +
                 (f.machineId ? " AND machine_id = ?5" : "") + " ORDER BY id DESC LIMIT ?4")
                    .c_str());
    if (f.user) s.bind(1, *f.user);
    if (f.team) s.bind(2, *f.team);
    if (f.machine) s.bind(3, *f.machine);
    if (f.machineId) s.bind(5, *f.machineId);
    s.bind(4, f.limit);
    std::vector<UnitRow> rows;
    while (s.step()) {
        UnitRow r;
        r.at = s.integer(0);
        r.unit = {s.text(1), s.whole(2), s.whole(3), s.whole(4), s.text(5), s.text(6),
                  s.whole(7), s.real(8), s.text(9), s.text(10), s.whole(11)};
        r.points = s.whole(12);
        if (!s.isNull(13)) r.machineId = s.integer(13);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<DayUserSummary> Store::summary(long long since)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT date(at, 'unixepoch') AS day, user, count(*), sum(points) FROM units"
                             " WHERE at >= ?1 GROUP BY day, user ORDER BY day DESC, user");
    s.bind(1, since);
    std::vector<DayUserSummary> rows;
    while (s.step()) rows.push_back({s.text(0), s.text(1), s.integer(2), s.integer(3)});
    return rows;
}

std::vector<CpuSummary> Store::cpus()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT cpu_string, cpu_vendor, count(*), avg(frame_minutes) FROM units"
                             " GROUP BY cpu_string, cpu_vendor ORDER BY count(*) DESC, cpu_string LIMIT 1000");
    std::vector<CpuSummary> rows;
    while (s.step()) rows.push_back({s.text(0), s.text(1), s.integer(2), s.real(3)});
    return rows;
}

std::vector<UserUnits> Store::unitsByUser(long long since)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT user, team, count(*), coalesce(sum(points), 0) FROM units WHERE at >= ?1"
                             " GROUP BY user, team ORDER BY user, team");
    s.bind(1, since);
    std::vector<UserUnits> rows;
    while (s.step()) rows.push_back({s.text(0), s.whole(1), s.integer(2), s.integer(3)});
    return rows;
}

void Store::addSession(const SessionRow& session)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "INSERT INTO sessions (id, role, csrf, expires) VALUES (?1, ?2, ?3, ?4)");
    s.bind(1, session.id).bind(2, session.role).bind(3, session.csrf).bind(4, session.expires).run();
}

std::optional<SessionRow> Store::session(const std::string& id, long long now)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT role, csrf, expires FROM sessions WHERE id = ?1 AND expires > ?2");
    if (!s.bind(1, id).bind(2, now).step()) return std::nullopt;
    return SessionRow{id, s.text(0), s.text(1), s.integer(2)};
}

void Store::removeSessions(const std::string& id, long long expiredBy)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM sessions WHERE id = ?1 OR expires <= ?2");
    s.bind(1, id).bind(2, expiredBy).run();
}

Totals Store::totals()
{
    Reader reader = borrowReader();
    Totals totals;
    Statement reports(reader.db(), "SELECT value FROM totals WHERE name = 'reports'");
    if (reports.step()) totals.reports = reports.integer(0);
    Statement clamped(reader.db(), "SELECT value FROM totals WHERE name = 'records_clamped'");
    if (clamped.step()) totals.recordsClamped = clamped.integer(0);
    Statement units(reader.db(), "SELECT count(*), coalesce(sum(points), 0) FROM units");
    if (units.step()) {
        totals.units = units.integer(0);
        totals.points = units.integer(1);
    }
    return totals;
}

std::vector<int> Store::heldSlots()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT slot FROM machines WHERE slot != 0 AND stopped = 0");
    std::vector<int> slots;
    while (s.step()) slots.push_back(s.whole(0));
    return slots;
}

long long Store::pruneReports(long long before)
{
    std::vector<long long> ids;
    {
        Reader reader = borrowReader();
        Statement s(reader.db(), "SELECT id FROM machines");
        while (s.step()) ids.push_back(s.integer(0));
    }
    // Machine by machine on the index, in short transactions, so exchanges
    // wait at most for a few hundred small deletes.
    long long removed = 0;
    constexpr std::size_t kBatch = 200;
    for (std::size_t start = 0; start < ids.size(); start += kBatch) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        Statement s(writer_, "DELETE FROM reports WHERE machine_id = ?1 AND at < ?2");
        for (std::size_t i = start; i < ids.size() && i < start + kBatch; ++i) {
            s.reset().bind(1, ids[i]).bind(2, before).run();
            removed += sqlite3_changes(writer_);
        }
        t.commit();
    }
    return removed;
}

void Store::checkpoint(bool truncate)
{
    if (truncate) {
        // Waits for the writer (its busy time-out) and empties the log file.
        std::lock_guard<std::mutex> lock(writeMutex_);
        sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        return;
    }
    Reader reader = borrowReader();
    sqlite3_wal_checkpoint_v2(reader.db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

std::vector<AlertRow> Store::alerts(const AlertFilter& f)
{
    // The conditions only as given, so each query can take its index.
    std::string sql = std::string(kAlertColumns) + "WHERE 1";
    if (f.activeOnly) sql += " AND a.resolved_at IS NULL";
    if (f.machineId != 0) sql += " AND a.machine_id = ?1";
    sql += " ORDER BY a.id DESC LIMIT ?2";
    Reader reader = borrowReader();
    Statement s(reader.db(), sql.c_str());
    if (f.machineId != 0) s.bind(1, f.machineId);
    s.bind(2, f.limit);
    std::vector<AlertRow> rows;
    while (s.step()) rows.push_back(readAlert(s));
    return rows;
}

std::vector<AlertRow> Store::alertsChangedSince(long long since, long long& latest)
{
    latest = since;
    if (since == lastAlertChange_) return {};
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kAlertColumns) + "WHERE a.change > ?1 ORDER BY a.change").c_str());
    s.bind(1, since);
    std::vector<AlertRow> rows;
    while (s.step()) {
        rows.push_back(readAlert(s));
        latest = rows.back().change;
    }
    return rows;
}

std::vector<AlertRow> Store::setAlerts(const std::vector<AlertWanted>& wanted, long long now, bool forWebhook)
{
    std::vector<long long> changed;
    // In short transactions: a whole fleet going offline at once must not
    // hold the exchanges back for long.
    constexpr std::size_t kBatch = 200;
    for (std::size_t start = 0; start < wanted.size(); start += kBatch) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        Statement open(writer_, "SELECT id, kind FROM alerts WHERE machine_id = ?1 AND resolved_at IS NULL");
        Statement resolve(writer_, "UPDATE alerts SET resolved_at = ?2, change = ?3, resolve_sent = ?4 WHERE id = ?1");
        Statement raise(writer_, "INSERT INTO alerts (machine_id, kind, raised_at, raised_change, change, raise_sent)"
                                 " VALUES (?1, ?2, ?3, ?4, ?4, ?5)");
        Statement count(writer_, "UPDATE totals SET value = value + 1 WHERE name = 'alerts_raised'");
        const std::size_t batchStart = changed.size();
        const long long firstChange = lastAlertChange_;
        try {
            for (std::size_t i = start; i < wanted.size() && i < start + kBatch; ++i) {
                const AlertWanted& w = wanted[i];
                bool isOpen = false;
                std::vector<long long> toResolve;
                open.reset().bind(1, w.machineId);
                while (open.step()) {
                    if (w.kind && open.text(1) == w.kind)
                        isOpen = true;
                    else
                        toResolve.push_back(open.integer(0));
                }
                for (const long long id : toResolve) {
                    resolve.reset().bind(1, id).bind(2, now).bind(3, ++lastAlertChange_);
                    if (!forWebhook) resolve.bind(4, 0LL);
                    resolve.run();
                    changed.push_back(id);
                }
                if (w.kind && !isOpen) {
                    raise.reset().bind(1, w.machineId).bind(2, std::string(w.kind)).bind(3, now)
                        .bind(4, ++lastAlertChange_);
                    if (!forWebhook) raise.bind(5, 0LL);
                    raise.run();
                    changed.push_back(sqlite3_last_insert_rowid(writer_));
                    count.reset().run();
                }
            }
            t.commit();
        } catch (...) {
            // Rolled back: the numbers taken were not used.
            lastAlertChange_ = firstChange;
            changed.resize(batchStart);
            throw;
        }
    }
    std::vector<AlertRow> rows;
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kAlertColumns) + "WHERE a.id = ?1").c_str());
    for (const long long id : changed)
        if (s.reset().bind(1, id).step()) rows.push_back(readAlert(s));
    return rows;
}

std::vector<AlertEvent> Store::pendingAlertEvents(int limit)
{
    Reader reader = borrowReader();
    // One statement, so one snapshot: a raise and its resolution written
    // between two queries could otherwise go out in the wrong order.
    Statement s(reader.db(),
                "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
                " coalesce(a.resolved_at, 0), a.change, e.resolution, e.number FROM ("
                " SELECT * FROM (SELECT id, 0 AS resolution, raised_change AS number FROM alerts"
                "  WHERE raise_sent IS NULL ORDER BY raised_change LIMIT ?1)"
                " UNION ALL SELECT * FROM (SELECT id, 1, change FROM alerts"
                "  WHERE resolved_at IS NOT NULL AND resolve_sent IS NULL ORDER BY change LIMIT ?1)"
                ") e JOIN alerts a ON a.id = e.id LEFT JOIN machines m ON m.id = a.machine_id"
                " ORDER BY e.number LIMIT ?1");
    s.bind(1, limit);
    std::vector<AlertEvent> events;
    while (s.step()) {
        AlertEvent& event = events.emplace_back(AlertEvent{readAlert(s), s.whole(7) != 0, s.integer(8)});
        if (!event.resolution) event.alert.resolvedAt = 0; // as it was raised
    }
    return events;
}

void Store::markAlertEventsSent(const std::vector<AlertEvent>& events, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement raise(writer_, "UPDATE alerts SET raise_sent = ?2 WHERE id = ?1");
    Statement resolve(writer_, "UPDATE alerts SET resolve_sent = ?2 WHERE id = ?1");
    for (const AlertEvent& event : events)
        (event.resolution ? resolve : raise).reset().bind(1, event.alert.id).bind(2, now).run();
    t.commit();
}

AlertCounts Store::alertCounts()
{
    Reader reader = borrowReader();
    AlertCounts counts;
    Statement open(reader.db(), "SELECT kind, count(*) FROM alerts WHERE resolved_at IS NULL GROUP BY kind");
    while (open.step()) (open.text(0) == "offline" ? counts.offline : counts.stalled) = open.integer(1);
    Statement raised(reader.db(), "SELECT value FROM totals WHERE name = 'alerts_raised'");
    if (raised.step()) counts.raised = raised.integer(0);
    return counts;
}

long long Store::pruneAlerts(long long before)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM alerts WHERE resolved_at < ?1 AND raise_sent IS NOT NULL"
                         " AND resolve_sent IS NOT NULL");
    s.bind(1, before).run();
    return sqlite3_changes(writer_);
}

std::vector<long long> Store::silentMachines(long long before, int limit)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT id FROM machines WHERE last_seen < ?1 ORDER BY last_seen LIMIT ?2");
    s.bind(1, before).bind(2, limit);
    std::vector<long long> ids;
    while (s.step()) ids.push_back(s.integer(0));
    return ids;
}

std::vector<MachineRow> Store::removeMachines(const std::vector<long long>& ids)
{
    std::vector<MachineRow> removed;
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement find(writer_, "SELECT name, cpu, slot, stopped, address FROM machines WHERE id = ?1");
    const char* const kDeletes[] = {"DELETE FROM reports WHERE machine_id = ?1", "DELETE FROM commands WHERE machine_id = ?1",
                                    "DELETE FROM alerts WHERE machine_id = ?1", "DELETE FROM machines WHERE id = ?1"};
    for (const long long id : ids) {
        if (!find.reset().bind(1, id).step()) continue;
        MachineRow& m = removed.emplace_back();
        m.id = id;
        m.name = find.text(0);
        m.cpu = find.whole(1);
        m.slot = find.whole(2);
        m.stopped = find.whole(3) != 0;
        m.address = find.text(4);
        find.reset();
        for (const char* sql : kDeletes) Statement(writer_, sql).bind(1, id).run();
    }
    t.commit();
    machineCount_ -= static_cast<long long>(removed.size());
    if (!removed.empty()) ++removals_;
    return removed;
}

std::optional<std::string> Store::clearAddress(long long machineId, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement find(writer_, "SELECT address FROM machines WHERE id = ?1");
    if (!find.bind(1, machineId).step()) return std::nullopt;
    const std::string address = find.text(0);
    find.reset();
    Statement clear(writer_, "UPDATE machines SET previous_address = CASE WHEN address = '' THEN previous_address"
                             " ELSE address END, address = '', address_changed_at = ?2 WHERE id = ?1");
    clear.bind(1, machineId).bind(2, now).run();
    markChanged(writer_, machineId, ++lastChange_);
    t.commit();
    return address;
}

std::vector<ReportRow> Store::history(long long machineId, long long since, long long until, int most)
{
    Reader reader = borrowReader();
    long long count = 0;
    {
        Statement s(reader.db(), "SELECT count(*) FROM reports WHERE machine_id = ?1 AND at >= ?2 AND at <= ?3");
        if (s.bind(1, machineId).bind(2, since).bind(3, until).step()) count = s.integer(0);
    }
    // More than MOST: the last report of each of MOST equal spans, so the
    // answer is bounded whatever a sender reported.
    Statement s(reader.db(), count <= most
                                 ? "SELECT at, progress, unit, in_tray FROM reports WHERE machine_id = ?1"
                                   " AND at >= ?2 AND at <= ?3 ORDER BY at, rowid LIMIT ?4"
                                 : "SELECT at, progress, unit, in_tray, max(rowid) FROM reports WHERE machine_id = ?1"
                                   " AND at >= ?2 AND at <= ?3 GROUP BY (at - ?2) * ?4 / (?3 - ?2 + 1) ORDER BY at");
    s.bind(1, machineId).bind(2, since).bind(3, until).bind(4, static_cast<long long>(most));
    std::vector<ReportRow> rows;
    while (s.step()) rows.push_back({s.integer(0), s.whole(1), s.text(2), s.whole(3) != 0});
    return rows;
}

bool Store::writable(std::string& error)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    try {
        Transaction t(writer_);
        execute(writer_, "UPDATE totals SET value = value WHERE name = 'reports'");
        t.commit();
        return true;
    } catch (const StoreError& e) {
        error = e.what();
        return false;
    }
}

} // namespace pelmora_server
