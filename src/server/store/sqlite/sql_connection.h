// The common query layer (common/query.h) on a SQLite connection.
#pragma once

#include <sqlite3.h>

#include "server/store/common/query.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

class SqliteQuery final : public sql::Query {
public:
    SqliteQuery(sqlite3* db, const std::string& sql) : s_(db, sql.c_str()) {}
    Query& bind(const char* name, long long v) override { return s_.bind(name, v), *this; }
    Query& bind(const char* name, double v) override { return s_.bind(name, v), *this; }
    Query& bind(const char* name, const std::string& v) override { return s_.bind(name, v), *this; }
    using Query::bind;
    Query& reset() override { return s_.reset(), *this; }
    bool step() override { return s_.step(); }
    long long run() override
    {
        s_.run();
        return sqlite3_changes(s_.db());
    }
    long long insert() override
    {
        s_.run();
        return sqlite3_last_insert_rowid(s_.db());
    }
    long long integer(int column) const override { return s_.integer(column); }
    double real(int column) const override { return s_.real(column); }
    std::string text(int column) const override { return s_.text(column); }
    bool isNull(int column) const override { return s_.isNull(column); }

private:
    Statement s_;
};

class SqliteConnection final : public sql::Connection {
public:
    explicit SqliteConnection(sqlite3* db) : db_(db) {}
    const sql::Dialect& dialect() const override { return sql::kSqlite; }
    std::unique_ptr<sql::Query> query(const std::string& sql) override
    {
        return std::make_unique<SqliteQuery>(db_, sql);
    }

private:
    sqlite3* db_;
};

} // namespace pelmora::server
