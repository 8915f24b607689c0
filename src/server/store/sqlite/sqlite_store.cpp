#include "server/store/sqlite/sqlite_store.h"

#include <sqlite3.h>

#include "server/store/sqlite/admission_statements.h"
#include "server/store/sqlite/exchange_statements.h"
#include "server/store/sqlite/migrations.h"
#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {
namespace {

sqlite3* connect(const std::string& path, bool create, std::string& error)
{
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000); // then the outage keeper takes the records (statement.h)
    return db;
}

} // namespace

SqliteStore::Reader SqliteStore::borrowReader()
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

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error, bool shared)
{
    std::unique_ptr<SqliteStore> store(new SqliteStore());
    if (!shared && !store->lock_.take(path, error)) return nullptr;
    store->path_ = path;
    store->shared_ = shared;
    store->writer_ = connect(path, true, error);
    if (!store->writer_) {
        error = "cannot open the store " + path + ": " + error;
        return nullptr;
    }
    sqlite3* db = store->writer_;
    try {
        execute(db, "PRAGMA journal_mode = WAL");
        // After a crash of the process (not of the machine) every commit is
        // there; the log is made durable at each checkpoint.
        execute(db, "PRAGMA synchronous = NORMAL");
        // The maintenance thread checkpoints; this only bounds the log if it cannot.
        execute(db, "PRAGMA wal_autocheckpoint = 20000");
        // A flood grows the log up to the bound above; once a checkpoint has
        // taken it in, the file is cut back to this. Not lower: cutting it
        // happens in the next write, and a log cut four times a second under
        // a steady 1,000 exchanges a second took the 99th percentile of an
        // exchange from 2 to 15-23 ms.
        execute(db, "PRAGMA journal_size_limit = 67108864");
        migrate(db);
        store->prepared_ = std::make_unique<SqliteStore::Prepared>(db);
        store->admission_ = std::make_unique<SqliteStore::Admission>(db);
        sqlite3* slots = connect(path, false, error);
        if (!slots) throw StoreError(error);
        store->slotReader_ = std::make_unique<SqliteStore::SlotReader>(slots);
    } catch (const StoreError& e) {
        error = "cannot open the store " + path + ": " + e.what();
        return nullptr;
    }
    return store;
}

SqliteStore::~SqliteStore()
{
    prepared_.reset();
    admission_.reset();
    slotReader_.reset();
    for (sqlite3* db : idleReaders_) sqlite3_close(db);
    if (writer_) {
        sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        sqlite3_close(writer_);
    }
}

// SQLite has one writer at a time, so a number taken inside the write
// transaction commits before any number taken after it. A store whose
// writers run at once keeps the same order the same way: the counter row's
// update locks the row until the commit, so the transactions that take
// numbers commit one after the other, in the order of their numbers (a
// sequence would not: a lower number may commit after a higher one is read).
// Each transaction takes its number as late as it can, to hold the row briefly.
long long SqliteStore::takeNumber(const char* name)
{
    prepared_->bumpCounter.reset().bind(":name", std::string(name)).run();
    Statement& s = prepared_->readCounter.reset().bind(":name", std::string(name));
    if (!s.step()) throw StoreError(std::string("no counter ") + name);
    const long long number = s.integer(0);
    s.reset();
    return number;
}

long long SqliteStore::counter(sqlite3* db, const char* name)
{
    Statement s(db, "SELECT value FROM totals WHERE name = :name");
    return s.bind(":name", std::string(name)).step() ? s.integer(0) : 0;
}

void SqliteStore::markChanged(long long machineId)
{
    Statement s(writer_, "UPDATE machines SET change = :change_number WHERE id = :id");
    s.bind(":id", machineId).bind(":change_number", takeNumber("machine_change")).run();
}

long long SqliteStore::removals()
{
    Reader reader = borrowReader();
    return counter(reader.db(), "removals");
}

long long SqliteStore::lastAlertChange()
{
    Reader reader = borrowReader();
    return counter(reader.db(), "alert_change");
}

long long SqliteStore::machineCount()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT count(*) FROM machines");
    return s.step() ? s.integer(0) : 0;
}

long long SqliteStore::waitingCount()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT count(*) FROM waiting");
    return s.step() ? s.integer(0) : 0;
}

Totals SqliteStore::totals()
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

void SqliteStore::upkeep(Upkeep kind)
{
    if (kind == Upkeep::thorough) {
        // Waits for the writer (its busy time-out) and empties the log file.
        std::lock_guard<std::mutex> lock(writeMutex_);
        sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        return;
    }
    Reader reader = borrowReader();
    sqlite3_wal_checkpoint_v2(reader.db(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

long long SqliteStore::sizeBytes()
{
    Reader reader = borrowReader();
    long long figures[3] = {};
    const char* const pragmas[] = {"PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size"};
    for (int i = 0; i < 3; ++i) {
        Statement s(reader.db(), pragmas[i]);
        if (s.step()) figures[i] = s.integer(0);
    }
    return (figures[0] - figures[1]) * figures[2];
}

bool SqliteStore::writable(std::string& error)
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

} // namespace pelmora::server
