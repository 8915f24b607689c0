// A thin hold on SQLite's C API: a prepared statement that binds its
// parameters by name (":machine"), steps, reads columns and finalizes
// itself, and a write transaction. Failures throw StoreError.
#pragma once

#include <sqlite3.h>
#include <string>

#include "server/store/store.h"

namespace pelmora::server {

inline void check(sqlite3* db, int code, const char* what)
{
    if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) return;
    // Locked by another process past the busy time-out: as a store out of reach.
    if ((code & 0xFF) == SQLITE_BUSY) throw StoreUnreachable(std::string(what) + ": " + sqlite3_errmsg(db));
    throw StoreError(std::string(what) + ": " + sqlite3_errmsg(db));
}

inline void execute(sqlite3* db, const char* sql) { check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql); }

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        check(db, sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr), sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Ready for a new run: bindings cleared.
    Statement& reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        return *this;
    }
    // NAME with its colon, as the SQL writes it; every use of it takes the value.
    Statement& bind(const char* name, long long v) { return bound(sqlite3_bind_int64(stmt_, index(name), v)); }
    Statement& bind(const char* name, int v) { return bound(sqlite3_bind_int64(stmt_, index(name), v)); }
    Statement& bind(const char* name, bool v) { return bind(name, v ? 1 : 0); }
    Statement& bind(const char* name, double v) { return bound(sqlite3_bind_double(stmt_, index(name), v)); }
    Statement& bind(const char* name, const std::string& v)
    {
        return bound(sqlite3_bind_text(stmt_, index(name), v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Statement& bind(const char* name, const char* v) = delete; // would take the bool: say std::string

    // True while there is a row to read.
    bool step()
    {
        const int code = sqlite3_step(stmt_);
        if (code == SQLITE_ROW) return true;
        sqlite3_reset(stmt_);
        check(db_, code == SQLITE_DONE ? SQLITE_OK : code, sqlite3_sql(stmt_));
        return false;
    }
    void run() { while (step()) {} }
    sqlite3* db() const { return db_; }

    long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    int whole(int column) const { return sqlite3_column_int(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
    }

private:
    // A name the statement does not have is a mistake in the code, not a NULL.
    int index(const char* name) const
    {
        const int i = sqlite3_bind_parameter_index(stmt_, name);
        if (i == 0) throw StoreError(std::string("no parameter ") + name + " in: " + sqlite3_sql(stmt_));
        return i;
    }
    Statement& bound(int code)
    {
        check(db_, code, "bind");
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A write transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { execute(db_, "BEGIN IMMEDIATE"); }
    ~Transaction()
    {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit()
    {
        execute(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

} // namespace pelmora::server
