// A thin hold on libpq: one connection to the database, and statements
// written with named parameters (":machine"), as the SQLite store writes
// them, each value bound as a parameter, never pasted into the SQL. A
// statement is prepared once a connection and kept. Failures throw PgError,
// which says whether trying again may succeed. Every wait on the database
// has a bound (PgSettings::answerMilliseconds): a database that stops
// answering (a stopped server, a lock held) ends the call as a lost
// connection, rather than holding the thread that made it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/store/store.h"

struct pg_conn;
struct pg_result;

namespace pelmora::server {

class PgError : public StoreError {
public:
    PgError(const std::string& message, std::string sqlState, bool connectionLost, bool timedOut = false)
        : StoreError(message), sqlState_(std::move(sqlState)), lost_(connectionLost), timedOut_(timedOut)
    {
    }
    // A serialization failure or a deadlock: the transaction was rolled back whole.
    bool retryable() const { return sqlState_ == "40001" || sqlState_ == "40P01"; }
    bool connectionLost() const { return lost_; }
    // The database did not answer within the connection's bound: dropped by
    // this side (TIMED OUT), or a lock or statement time-out, which rolled back.
    bool unanswered() const { return timedOut_ || sqlState_ == "55P03" || sqlState_ == "57014"; }
    bool timedOut() const { return timedOut_; }
    const std::string& sqlState() const { return sqlState_; }

private:
    std::string sqlState_;
    bool lost_, timedOut_;
};

// The rows of a statement, all in memory (every read the store makes is bounded).
class PgRows {
public:
    explicit PgRows(pg_result* result);
    ~PgRows();
    PgRows(PgRows&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
    PgRows(const PgRows&) = delete;
    PgRows& operator=(const PgRows&) = delete;
    PgRows& operator=(PgRows&&) = delete;

    int size() const;
    bool empty() const { return size() == 0; }
    // The rows a write touched (INSERT, UPDATE, DELETE).
    long long changed() const;
    bool isNull(int row, int column) const;
    std::string text(int row, int column) const;
    long long integer(int row, int column) const;
    int whole(int row, int column) const { return static_cast<int>(integer(row, column)); }
    double real(int row, int column) const;
    bool flag(int row, int column) const; // a boolean column, or an integer one (not 0)

private:
    pg_result* result_;
};

struct PgSettings {
    int connectSeconds = 5;
    int statementSeconds = 15;
    // The longest wait for any one answer (and for a connection); 0: none
    // but the statement time-out. The session's lock and statement
    // time-outs end a wait on the server's side a quarter earlier.
    int answerMilliseconds = 2000;
};

class PgConnection {
public:
    // Connects to URI (a libpq connection URI) within CONNECT_MILLISECONDS
    // (0: the settings' bounds); throws PgError when it cannot.
    PgConnection(const std::string& uri, const PgSettings& settings, int connectMilliseconds = 0);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // SQL without parameters, several statements allowed.
    void execute(const char* sql);
    // Statements queued (Query::queue, queuePlain) go at once, without
    // waiting for their answers; flush reads them all, in order (COMMIT
    // sent last when COMMITTING): the statements' rows, or it throws the
    // first failure. Nothing else runs on the connection in between.
    void queuePlain(const std::string& sql); // SQL without parameters, one statement: its rows not read
    std::vector<PgRows> flush(bool committing);
    bool broken() const;
    // Another bound for the waits from now on (0: none); the session's time-outs stay.
    void bound(int milliseconds) { answerMilliseconds_ = milliseconds; }
    int serverVersion() const; // as 150004 for 15.4
    // Outside any transaction, rolling back one left open by a failure.
    void settle();
    // A transaction begun: BEGIN goes with the next statement, in its round
    // trip (libpq's pipeline mode), rather than in one of its own.
    void begin();
    // COMMIT, unless a statement run with Query::committing() sent it already.
    void commit();
    // Whether COMMIT was sent since begin(): a failure after it may have committed.
    bool commitSent() const { return commitSent_; }

    class Query;
    Query query(const std::string& sql);
    // SQL with positional parameters ($1, $2, …), not kept prepared: a bulk
    // write whose statements differ in their number of rows. A value left
    // empty is NULL; text is made storable as a bound value is.
    PgRows run(const std::string& sql, const std::vector<std::optional<std::string>>& values);

    // After LISTEN: waits up to MILLISECONDS for a notification and reads
    // every one that came; whether any did. Throws PgError when the
    // connection is lost.
    bool awaitNotification(int milliseconds);

private:
    struct Prepared {
        std::string name, sql;
        std::vector<std::string> parameters; // in the order of $1, $2, …
    };
    const Prepared& prepare(const std::string& sql);
    PgError failure(pg_result* result, const std::string& what) const;
    // libpq's last error, cleaned of the URI's password (connection_secrets.h).
    std::string libpqError() const;
    // The connection given up (closed), and the error that says why.
    PgError drop(const std::string& what);
    class Bounded; // one call's wait on the database, within answerMilliseconds_
    void disarm();
    void connect(const std::string& uri, int connectMilliseconds);
    // The statement with the BEGIN held back before it and COMMIT after it
    // when COMMITTING, sent at once and their answers read together.
    pg_result* runPipelined(const Prepared& prepared, const std::vector<const char*>& values, bool committing);
    void startQueue();
    void send(bool sent, bool wanted, const char* what);
    std::string uri_;
    pg_conn* conn_ = nullptr;
    int answerMilliseconds_ = 0;
    long long armed_ = 0; // the deadline of the call under way
    std::atomic<bool> timedOut_{false}; // a wait passed its bound: the socket was shut down
    bool beginHeld_ = false, commitSent_ = false;
    std::vector<bool> queued_; // for each answer awaited: whether its rows are wanted
    std::vector<std::string> preparedInQueue_;
    std::map<std::string, Prepared> prepared_;
};

// A statement to run once: bind its parameters by name (with the colon),
// then run it. A parameter left unbound is NULL.
class PgConnection::Query {
public:
    Query(PgConnection& connection, const Prepared& prepared);
    Query& bind(const char* name, long long v) { return set(name, std::to_string(v)); }
    Query& bind(const char* name, int v) { return set(name, std::to_string(v)); }
    // '1' and '0' read as a boolean or an integer, whichever the column is.
    Query& bind(const char* name, bool v) { return set(name, v ? "1" : "0"); }
    Query& bind(const char* name, double v);
    Query& bind(const char* name, const std::string& v) { return set(name, v); }
    Query& bind(const char* name, const char* v) = delete; // would take the bool: say std::string
    // The transaction's last statement: COMMIT is sent with it, in its round trip.
    Query& committing() { committing_ = true; return *this; }
    PgRows run();
    void queue(bool wanted = true); // sent now; its rows, if WANTED, read by PgConnection::flush

private:
    Query& set(const char* name, std::string value);
    PgConnection& connection_;
    const Prepared& prepared_;
    std::vector<std::optional<std::string>> values_;
    bool committing_ = false;
};

} // namespace pelmora::server
