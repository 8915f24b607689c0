// A thin hold on SQLite's C API: a prepared statement that binds by
// position, steps, reads columns and finalizes itself. Failures throw.
#pragma once

#include <sqlite3.h>
#include <stdexcept>
#include <string>

namespace pelmora_server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline void check(sqlite3* db, int code, const char* what)
{
    if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE)
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
    Statement& bind(int i, long long v) { return bound(sqlite3_bind_int64(stmt_, i, v)); }
    Statement& bind(int i, int v) { return bound(sqlite3_bind_int64(stmt_, i, v)); }
    Statement& bind(int i, double v) { return bound(sqlite3_bind_double(stmt_, i, v)); }
    Statement& bind(int i, const std::string& v)
    {
        return bound(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Statement& bindNull(int i) { return bound(sqlite3_bind_null(stmt_, i)); }

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
    Statement& bound(int code)
    {
        check(db_, code, "bind");
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

} // namespace pelmora_server
