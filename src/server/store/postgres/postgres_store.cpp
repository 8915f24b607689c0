#include "server/store/postgres/postgres_store.h"

#include "server/store/postgres/schema.h"

namespace pelmora::server {
namespace {
// Idle reader connections kept for the next reads; more are made when more
// threads read at once, and closed when given back past this.
constexpr std::size_t kIdleReaders = 4;
constexpr int kReadyMilliseconds = 400;
} // namespace

bool isPostgresUri(const std::string& db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::string& error, const PgSettings& settings)
{
    std::unique_ptr<PostgresStore> store(new PostgresStore(uri, settings));
    try {
        // A migration may take long: only the statement time-out bounds it.
        PgSettings migrating = settings;
        migrating.answerMilliseconds = 0;
        PgConnection first(uri, migrating);
        migratePostgres(first);
        store->writer_ = std::make_unique<PgConnection>(uri, settings);
    } catch (const StoreError& e) {
        error = std::string("cannot open the PostgreSQL store: ") + e.what();
        return nullptr;
    }
    return store;
}

std::unique_ptr<PgConnection> PostgresStore::borrowReader(int connectMilliseconds)
{
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        while (!idleReaders_.empty()) {
            std::unique_ptr<PgConnection> c = std::move(idleReaders_.back());
            idleReaders_.pop_back();
            if (!c->broken()) return c;
        }
    }
    return std::make_unique<PgConnection>(uri_, settings_, connectMilliseconds);
}

void PostgresStore::giveBack(std::unique_ptr<PgConnection> c)
{
    c->settle();
    if (c->broken()) return;
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (idleReaders_.size() < kIdleReaders) idleReaders_.push_back(std::move(c));
}

// The counter row's update locks the row until the commit, so the
// transactions that take numbers commit one after the other, in the order of
// their numbers, whichever server runs them (a sequence would not: a lower
// number may commit after a higher one is read). A transaction waiting for
// the row reads the committed value once it has it. Each transaction takes
// its number as late as it can, to hold the row briefly.
long long PostgresStore::takeNumber(PgConnection& c, const char* name)
{
    const PgRows rows = c.query("UPDATE totals SET value = value + 1 WHERE name = :name RETURNING value")
                            .bind(":name", std::string(name))
                            .run();
    if (rows.empty()) throw StoreError(std::string("no counter ") + name);
    return rows.integer(0, 0);
}

long long PostgresStore::counter(PgConnection& c, const char* name)
{
    const PgRows rows = c.query("SELECT value FROM totals WHERE name = :name").bind(":name", std::string(name)).run();
    return rows.empty() ? 0 : rows.integer(0, 0);
}

void PostgresStore::lockMachine(PgConnection& c, long long machineId)
{
    c.query("SELECT 1 FROM machines WHERE id = :id FOR UPDATE").bind(":id", machineId).run();
}

void PostgresStore::markChanged(PgConnection& c, long long machineId)
{
    lockMachine(c, machineId); // before the counter, as an exchange takes them
    c.query("UPDATE machines SET change = :change_number WHERE id = :id")
        .bind(":id", machineId)
        .bind(":change_number", takeNumber(c, "machine_change"))
        .run();
}

long long PostgresStore::removals()
{
    return reading([](PgConnection& c) { return counter(c, "removals"); });
}

long long PostgresStore::lastAlertChange()
{
    return reading([](PgConnection& c) { return counter(c, "alert_change"); });
}

long long PostgresStore::machineCount()
{
    return reading([](PgConnection& c) { return c.query("SELECT count(*) FROM machines").run().integer(0, 0); });
}

long long PostgresStore::waitingCount()
{
    return reading([](PgConnection& c) { return c.query("SELECT count(*) FROM waiting").run().integer(0, 0); });
}

Totals PostgresStore::totals()
{
    return reading([](PgConnection& c) {
        Totals totals;
        totals.reports = counter(c, "reports");
        totals.recordsClamped = counter(c, "records_clamped");
        const PgRows units = c.query("SELECT count(*), coalesce(sum(points), 0) FROM units").run();
        totals.units = units.integer(0, 0);
        totals.points = units.integer(0, 1);
        return totals;
    });
}

bool PostgresStore::writable(std::string& error)
{
    try {
        writing([](PgConnection& c) { c.execute("UPDATE totals SET value = value WHERE name = 'reports'"); });
        return true;
    } catch (const StoreError& e) {
        error = e.what();
        return false;
    }
}

// The bytes the live rows take, as SQLite's pages in use: the files keep
// the room of deleted rows (VACUUM only makes it reusable), so their size
// would stay past the bound whatever history goes. A table's live rows (as
// the statistics count them) times a row's bytes: the newest rows' average,
// the row's own overhead, and an entry in each index.
long long PostgresStore::sizeBytes()
{
    return reading([](PgConnection& c) {
        const PgRows tables = c.query("SELECT s.relname, s.n_live_tup, (SELECT count(*) FROM pg_index i"
                                      " WHERE i.indrelid = s.relid), EXISTS (SELECT 1 FROM pg_attribute a"
                                      " WHERE a.attrelid = s.relid AND a.attname = 'id')"
                                      " FROM pg_stat_user_tables s WHERE s.schemaname = current_schema()").run();
        long long bytes = 0;
        for (int i = 0; i < tables.size(); ++i) {
            const long long rows = tables.integer(i, 1);
            if (rows <= 0) continue;
            // Table names come from the catalogue, not from outside; quoted as identifiers.
            const std::string table = "\"" + tables.text(i, 0) + "\"";
            const std::string sample = tables.flag(i, 3) ? "SELECT * FROM " + table + " ORDER BY id DESC LIMIT 100"
                                                         : "SELECT * FROM " + table + " LIMIT 100";
            const long long width =
                c.query("SELECT coalesce(avg(pg_column_size(t.*)), 0)::bigint FROM (" + sample + ") t").run().integer(0, 0);
            constexpr long long kRowOverhead = 28, kIndexEntry = 24;
            bytes += rows * (width + kRowOverhead + kIndexEntry * tables.integer(i, 2));
        }
        return bytes;
    });
}

bool PostgresStore::ready()
{
    try {
        std::unique_ptr<PgConnection> c = borrowReader(kReadyMilliseconds);
        c->bound(kReadyMilliseconds); // the machines locked: not ready either
        c->execute("SELECT 1 FROM machines LIMIT 1");
        c->bound(settings_.answerMilliseconds);
        giveBack(std::move(c));
        return true;
    } catch (const StoreError&) {
        return false;
    }
}

} // namespace pelmora::server
