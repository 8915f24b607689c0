#include "server/store/copy/copy_store.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sqlite3.h>

#include "server/store/postgres/connection.h"
#include "server/store/postgres/postgres_store.h"
#include "server/store/postgres/schema.h"
#include "server/store/sqlite/migrations.h"
#include "server/store/sqlite/statement.h"
#include "server/store/sqlite/store_lock.h"

namespace pelmora::server {
namespace {

// Values a statement: a batch of rows goes as one INSERT, well under
// PostgreSQL's 65,535 parameters.
constexpr std::size_t kValuesABatch = 4000;
// The counters' table: its rows exist in a new database (at 0) and are overwritten.
constexpr const char* kCounters = "totals";

std::string quoted(const std::string& name)
{
    std::string out = "\"";
    for (const char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// The SQLite store, held as a server holds it: its lock first (declared
// first, let go of last), then the file, its schema brought up to date.
class Source {
public:
    ~Source() { sqlite3_close(db_); }
    sqlite3* db() const { return db_; }

    void open(const std::string& path)
    {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) throw StoreError("there is no store file " + path);
        char header[16] = {};
        std::ifstream(path, std::ios::binary).read(header, sizeof header);
        if (std::string(header, sizeof header) != std::string("SQLite format 3", 16))
            throw StoreError(path + " is not a SQLite database");
        std::string error;
        if (!lock_.take(path, error)) throw StoreError(error);
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
            throw StoreError("cannot open " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
        sqlite3_busy_timeout(db_, 5000);
        // Another program's database is not made a store by the migrations.
        bool store = false;
        {
            Statement version(db_, "PRAGMA user_version");
            Statement machines(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'machines'");
            store = version.step() && version.integer(0) >= 1 && machines.step();
        }
        if (!store) throw StoreError(path + " is a SQLite database but not a pelmora-server store");
        migrate(db_);
    }

private:
    StoreLock lock_;
    sqlite3* db_ = nullptr;
};

struct Column {
    std::string name;
    std::string from; // what the source's SELECT reads for it
    bool integer = false;
};

struct TablePlan {
    std::string name;
    std::vector<Column> columns;
    std::string identity; // the column whose sequence is set past the copied ids, or ""
};

std::vector<std::string> sourceTables(sqlite3* db)
{
    std::vector<std::string> tables;
    Statement s(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"
                    " ORDER BY rowid");
    while (s.step()) tables.push_back(s.text(0));
    return tables;
}

// The table's columns, matched by name: each of the source's must have its
// place in the database; the database's others keep their defaults, but an
// id the source keeps as its rowid (the reports) is read from it.
TablePlan plan(sqlite3* db, PgConnection& target, const std::string& table)
{
    TablePlan p{table, {}, ""};
    const PgRows pg = target.run("SELECT column_name, data_type IN ('bigint', 'integer', 'smallint'), is_identity"
                                 " FROM information_schema.columns WHERE table_schema = current_schema()"
                                 " AND table_name = $1 ORDER BY ordinal_position",
                                 {table});
    if (pg.empty()) throw StoreError("the database has no table " + table + ", which the store has");
    std::vector<std::string> source;
    Statement info(db, ("PRAGMA table_info(" + quoted(table) + ")").c_str());
    while (info.step()) source.push_back(info.text(1));
    for (const std::string& name : source) {
        int row = 0;
        while (row < pg.size() && pg.text(row, 0) != name) ++row;
        if (row == pg.size()) throw StoreError("the database's table " + table + " has no column " + name);
        p.columns.push_back({name, quoted(name), pg.flag(row, 1)});
    }
    for (int row = 0; row < pg.size(); ++row) {
        if (pg.text(row, 2) != "YES") continue;
        p.identity = pg.text(row, 0);
        bool read = false;
        for (const Column& c : p.columns) read = read || c.name == p.identity;
        if (!read && p.identity == "id") p.columns.push_back({"id", "rowid", true});
    }
    return p;
}

// Locks TABLE against the servers that may be starting on the database,
// and refuses it when it already holds rows.
void claim(PgConnection& target, const std::string& table)
{
    target.execute(("LOCK TABLE " + quoted(table) + " IN EXCLUSIVE MODE").c_str());
    const std::string rows = table == kCounters ? "SELECT 1 FROM totals WHERE value <> 0 LIMIT 1"
                                                : "SELECT 1 FROM " + quoted(table) + " LIMIT 1";
    if (!target.run(rows, {}).empty())
        throw StoreError("the database already holds data (in its table " + table +
                         "): a store is copied only into an empty one");
}

// The source's value as PostgreSQL reads it for the column: a number in a
// whole-number column whole, text and bytes as they are (the connection
// makes them storable).
std::optional<std::string> value(sqlite3_stmt* s, int i, const Column& column)
{
    switch (sqlite3_column_type(s, i)) {
    case SQLITE_NULL: return std::nullopt;
    case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(s, i));
    case SQLITE_FLOAT: {
        const double v = sqlite3_column_double(s, i);
        if (column.integer) return std::to_string(std::llround(v));
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", v);
        return std::string(text);
    }
    default: {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
        return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
    }
    }
}

long long copyTable(sqlite3* db, PgConnection& target, const TablePlan& p)
{
    std::string names, select;
    for (const Column& c : p.columns) {
        names += (names.empty() ? "" : ", ") + quoted(c.name);
        select += (select.empty() ? "" : ", ") + c.from;
    }
    const std::string insert = "INSERT INTO " + quoted(p.name) + " (" + names + ") VALUES ";
    const std::string onConflict =
        p.name == kCounters ? " ON CONFLICT (name) DO UPDATE SET value = excluded.value" : "";
    const std::size_t width = p.columns.size();
    const std::size_t rowsABatch = std::max<std::size_t>(1, kValuesABatch / width);

    std::vector<std::optional<std::string>> values;
    std::size_t rows = 0;
    long long copied = 0;
    const auto flush = [&] {
        if (rows == 0) return;
        std::string sql = insert;
        for (std::size_t r = 0; r < rows; ++r) {
            sql += r ? ", (" : "(";
            for (std::size_t c = 0; c < width; ++c)
                sql += (c ? ", $" : "$") + std::to_string(r * width + c + 1);
            sql += ")";
        }
        target.run(sql + onConflict, values);
        copied += static_cast<long long>(rows);
        values.clear();
        rows = 0;
    };
    sqlite3_stmt* s = nullptr;
    const std::string sql = "SELECT " + select + " FROM " + quoted(p.name);
    check(db, sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), sql.c_str());
    try {
        int code;
        while ((code = sqlite3_step(s)) == SQLITE_ROW) {
            for (std::size_t c = 0; c < width; ++c) values.push_back(value(s, static_cast<int>(c), p.columns[c]));
            if (++rows == rowsABatch) flush();
        }
        check(db, code, sql.c_str());
        flush();
    } catch (...) {
        sqlite3_finalize(s);
        throw;
    }
    sqlite3_finalize(s);
    return copied;
}

// New rows numbered after the copied ones, never colliding with them.
void setSequence(PgConnection& target, const TablePlan& p)
{
    if (p.identity.empty()) return;
    target.run("SELECT setval(pg_get_serial_sequence($1, $2), m) FROM (SELECT max(" + quoted(p.identity) +
                   ") AS m FROM " + quoted(p.name) + ") t WHERE m IS NOT NULL",
               {quoted(p.name), p.identity});
}

} // namespace

bool copyStore(const std::string& from, const std::string& to, std::vector<CopiedTable>& copied, std::string& error)
{
    if (isPostgresUri(from)) { // said without it: a URI may hold a password
        error = "the copy's source is a PostgreSQL URI, where a SQLite store file was expected (FROM, then TO)";
        return false;
    }
    if (!isPostgresUri(to)) {
        error = "the copy's target is not a PostgreSQL URI (postgresql://... or postgres://...)";
        return false;
    }
    copied.clear();
    try {
        Source source;
        source.open(from);
        // Statements as long as a large table's batch may need.
        PgConnection target(to, PgSettings{5, 300, 0});
        migratePostgres(target);
        try {
            target.execute("BEGIN");
            std::vector<TablePlan> plans;
            for (const std::string& table : sourceTables(source.db())) {
                plans.push_back(plan(source.db(), target, table));
                claim(target, table);
            }
            for (const TablePlan& p : plans) {
                copied.push_back({p.name, copyTable(source.db(), target, p)});
                setSequence(target, p);
            }
            target.execute("COMMIT");
        } catch (...) {
            target.settle();
            throw;
        }
    } catch (const StoreError& e) {
        error = std::string("cannot copy the store: ") + e.what();
        copied.clear();
        return false;
    }
    return true;
}

} // namespace pelmora::server
