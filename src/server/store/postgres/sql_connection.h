// The common query layer (common/query.h) on a PostgreSQL connection: each
// statement prepared once a connection, as PgConnection::query keeps it,
// and run in one round trip; its rows read from memory.
#pragma once

#include <optional>
#include <utility>

#include "server/store/common/query.h"
#include "server/store/postgres/connection.h"

namespace pelmora::server {

class PgQuery final : public sql::Query {
public:
    PgQuery(PgConnection& c, std::string sql) : c_(c), sql_(std::move(sql)) {}
    Query& bind(const char* name, long long v) override { return query().bind(name, v), *this; }
    Query& bind(const char* name, double v) override { return query().bind(name, v), *this; }
    Query& bind(const char* name, const std::string& v) override { return query().bind(name, v), *this; }
    using Query::bind;
    Query& reset() override
    {
        rows_.reset();
        q_.reset();
        return *this;
    }
    bool step() override
    {
        if (rows_)
            ++row_;
        else
            rows_.emplace(query().run()), row_ = 0;
        if (row_ < rows_->size()) return true;
        rows_.reset();
        return false;
    }
    long long run() override
    {
        rows_.reset();
        return query().run().changed();
    }
    long long insert() override
    {
        rows_.reset();
        const PgRows r = query().run();
        if (r.empty()) throw StoreError("no id returned by: " + sql_);
        return r.integer(0, 0);
    }
    void send() override { query().queue(false); }
    long long integer(int column) const override { return rows_->integer(row_, column); }
    double real(int column) const override { return rows_->real(row_, column); }
    std::string text(int column) const override { return rows_->text(row_, column); }
    bool isNull(int column) const override { return rows_->isNull(row_, column); }

private:
    // Prepared (once a connection) at its first use, not before: a statement
    // made but not run costs no round trip.
    PgConnection::Query& query()
    {
        if (!q_) q_.emplace(c_.query(sql_));
        return *q_;
    }
    PgConnection& c_;
    const std::string sql_;
    std::optional<PgConnection::Query> q_;
    std::optional<PgRows> rows_;
    int row_ = 0;
};

class PgSqlConnection final : public sql::Connection {
public:
    explicit PgSqlConnection(PgConnection& c) : c_(c) {}
    const sql::Dialect& dialect() const override { return sql::kPostgres; }
    std::unique_ptr<sql::Query> query(const std::string& sql) override { return std::make_unique<PgQuery>(c_, sql); }
    PgConnection& connection() const { return c_; }

private:
    PgConnection& c_;
};

} // namespace pelmora::server
