// One way to run a statement on either store's connection, so that the
// reads and writes whose SQL both dialects take are written once (beside
// this file): bind parameters by name (":machine", with the colon, as both
// stores write them), run, and read the rows a row at a time by column
// number. A parameter left unbound is NULL. The few places where the
// dialects really differ are the Dialect's; each store's adapter
// (sqlite/sql_connection.h, postgres/sql_connection.h) says which it is.
// Both take the column "user" quoted, a parameter CAST to its type, true,
// and ON CONFLICT DO NOTHING, and a boolean reads as an integer (flag):
// none of those is a difference.
#pragma once

#include <memory>
#include <string>

namespace pelmora::server::sql {

struct Dialect {
    // After an INSERT whose new row's id is wanted: PostgreSQL returns it;
    // SQLite reads its connection's last one (RETURNING would cost it a
    // statement journal).
    const char* returningId;
    // After a read of rows the transaction goes on to change: several
    // servers write a PostgreSQL database at once, so a write locks them
    // first. SQLite's one writer needs no lock (empty).
    const char* forUpdate;
    // A unit's UTC day in the SQL: SQLite names it (date()); PostgreSQL
    // counts it, named in C++, so no time zone of the database's comes in between.
    const char* unitDay;
    bool dayCounted;
};

inline constexpr Dialect kSqlite{"", "", "date(at, 'unixepoch')", false};
inline constexpr Dialect kPostgres{" RETURNING id", " FOR UPDATE", "floor(at / 86400.0)::bigint", true};

class Query {
public:
    virtual ~Query() = default;
    virtual Query& bind(const char* name, long long v) = 0;
    virtual Query& bind(const char* name, double v) = 0;
    virtual Query& bind(const char* name, const std::string& v) = 0;
    Query& bind(const char* name, int v) { return bind(name, static_cast<long long>(v)); }
    // 1 and 0 read as a boolean or an integer, whichever the column is.
    Query& bind(const char* name, bool v) { return bind(name, v ? 1LL : 0LL); }
    Query& bind(const char* name, const char* v) = delete; // would take the bool: say std::string
    // Ready to run again, every parameter unbound.
    virtual Query& reset() = 0;

    // The first call runs the statement, each one moves to its next row:
    // true while there is a row to read. Past the last row it is ready to
    // run again, with the same bindings.
    virtual bool step() = 0;
    // Runs it through: the rows it changed (INSERT, UPDATE, DELETE).
    virtual long long run() = 0;
    // Runs an INSERT written with the dialect's returningId: the new row's id.
    virtual long long insert() = 0;
    // Runs it, or sends it to be answered with the transaction's next
    // statements (PostgreSQL's pipeline; the store reads the answers). Its rows are not read.
    virtual void send() { run(); }

    // The row under the cursor.
    virtual long long integer(int column) const = 0;
    int whole(int column) const { return static_cast<int>(integer(column)); }
    bool flag(int column) const { return integer(column) != 0; } // a boolean column, or an integer one
    virtual double real(int column) const = 0;
    virtual std::string text(int column) const = 0;
    virtual bool isNull(int column) const = 0;
};

// A connection of a store, in its transaction or outside any, as the caller holds it.
class Connection {
public:
    virtual ~Connection() = default;
    virtual const Dialect& dialect() const = 0;
    virtual std::unique_ptr<Query> query(const std::string& sql) = 0;
};

} // namespace pelmora::server::sql
