#include "server/store/postgres/connection.h"
#include "server/store/postgres/connection_secrets.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>

namespace pelmora::server {
namespace {

using Clock = std::chrono::steady_clock;

// Shuts down the sockets whose wait passed its deadline: libpq's call
// blocked on one then ends at once, its connection lost. One thread for
// every connection; an entry is taken off (under the mutex) before its
// connection closes, so no descriptor is shut down once reused.
class DeadlineKeeper {
public:
    static DeadlineKeeper& instance()
    {
        static DeadlineKeeper* keeper = new DeadlineKeeper; // never destroyed: its thread outlives main
        return *keeper;
    }
    long long arm(int fd, Clock::time_point at, std::atomic<bool>* fired)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const long long id = ++next_;
        armed_.emplace(id, Entry{fd, at, fired});
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        woken_.notify_one();
        return id;
    }
    void disarm(long long id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_.erase(id);
    }

private:
    struct Entry {
        int fd;
        Clock::time_point at;
        std::atomic<bool>* fired;
    };
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (armed_.empty()) {
                woken_.wait(lock);
                continue;
            }
            const auto first = std::min_element(armed_.begin(), armed_.end(),
                                                [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
            // A copy: the wait lets go of the lock, and the entry may be
            // taken off meanwhile while the wait still reads its deadline.
            const Clock::time_point at = first->second.at;
            if (at > Clock::now()) {
                woken_.wait_until(lock, at);
                continue;
            }
            first->second.fired->store(true);
            ::shutdown(first->second.fd, SHUT_RDWR);
            armed_.erase(first);
        }
    }
    std::mutex mutex_;
    std::condition_variable woken_;
    std::unordered_map<long long, Entry> armed_;
    long long next_ = 0;
    std::thread thread_;
};

// The answers of COUNT statements sent in a pipeline, each read to its end,
// then the sync's: false when the connection fails or falls out of step.
bool readToSync(pg_conn* conn, std::size_t count, std::vector<pg_result*>& answers)
{
    for (std::size_t i = 0; i < count; ++i) {
        pg_result* answer = PQgetResult(conn);
        if (!answer) return false;
        answers.push_back(answer);
        while (pg_result* more = PQgetResult(conn)) PQclear(more); // up to the statement's end
    }
    pg_result* sync = PQgetResult(conn);
    const bool ok = sync && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
    PQclear(sync);
    return ok;
}

// The length of the well-formed UTF-8 sequence at TEXT[I] (RFC 3629: no
// overlong forms, no surrogates), 0 when there is none.
std::size_t utf8Length(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    if (b >= 0x01 && b < 0x80) return 1;
    const std::size_t length = b >= 0xC2 && b < 0xE0 ? 2 : b >= 0xE0 && b < 0xF0 ? 3 : b >= 0xF0 && b < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char second = byte(i + 1);
    if ((b == 0xE0 && second < 0xA0) || (b == 0xED && second >= 0xA0) || (b == 0xF0 && second < 0x90) ||
        (b == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

// PostgreSQL's text holds no NUL and, in a UTF-8 database, only UTF-8:
// each byte that is neither becomes U+FFFD, as the monitors' records
// already are, rather than failing the statement. Text that is whole is not copied.
std::string storable(std::string text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t n = utf8Length(text, i);
        if (n == 0) break;
        i += n;
    }
    if (i == text.size()) return text;
    std::string out = text.substr(0, i);
    while (i < text.size()) {
        const std::size_t n = utf8Length(text, i);
        out += n ? text.substr(i, n) : "\xEF\xBF\xBD";
        i += n ? n : 1;
    }
    return out;
}

} // namespace

PgRows::PgRows(pg_result* result) : result_(result) {}
PgRows::~PgRows() { PQclear(result_); }
int PgRows::size() const { return PQntuples(result_); }
long long PgRows::changed() const
{
    const char* n = PQcmdTuples(result_);
    return n && *n ? std::strtoll(n, nullptr, 10) : 0;
}
bool PgRows::isNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
std::string PgRows::text(int row, int column) const
{
    return std::string(PQgetvalue(result_, row, column), static_cast<std::size_t>(PQgetlength(result_, row, column)));
}
long long PgRows::integer(int row, int column) const
{
    const char* v = PQgetvalue(result_, row, column);
    if (*v == 't') return 1; // a boolean
    if (*v == 'f') return 0;
    // A numeric (a sum) may come with a fraction: its whole part.
    return std::strtoll(v, nullptr, 10);
}
double PgRows::real(int row, int column) const { return std::strtod(PQgetvalue(result_, row, column), nullptr); }
bool PgRows::flag(int row, int column) const { return integer(row, column) != 0; }

// While one lives, the connection's socket is shut down past the bound:
// every call that waits on the database holds one.
class PgConnection::Bounded {
public:
    explicit Bounded(PgConnection& c) : c_(c)
    {
        const int fd = c.conn_ ? PQsocket(c.conn_) : -1;
        if (fd >= 0 && c.answerMilliseconds_ > 0 && c.armed_ == 0) {
            c.armed_ = DeadlineKeeper::instance().arm(
                fd, Clock::now() + std::chrono::milliseconds(c.answerMilliseconds_), &c.timedOut_);
            owns_ = true;
        }
    }
    ~Bounded()
    {
        if (owns_) c_.disarm();
    }
    Bounded(const Bounded&) = delete;
    Bounded& operator=(const Bounded&) = delete;

private:
    PgConnection& c_;
    bool owns_ = false; // the outermost of nested calls
};

void PgConnection::disarm()
{
    if (armed_) DeadlineKeeper::instance().disarm(armed_);
    armed_ = 0;
}

// libpq's own connect_timeout counts whole seconds, and at least two: the
// handshake is polled here, within the bound.
void PgConnection::connect(const std::string& uri, int connectMilliseconds)
{
    // Ours first: what the URI names overrides them (libpq keeps the last).
    const std::string connectTimeout = std::to_string(std::max(2, connectMilliseconds / 1000 + 1));
    const char* const keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                                "keepalives_count", "tcp_user_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {connectTimeout.c_str(), "1", "5", "2", "3", "10000", "pelmora-server",
                                  uri.c_str(), nullptr};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectMilliseconds);
    conn_ = PQconnectStartParams(keys, values, 1);
    PostgresPollingStatusType polled = PGRES_POLLING_WRITING;
    bool late = false;
    while (conn_ && PQstatus(conn_) != CONNECTION_BAD && polled != PGRES_POLLING_OK && polled != PGRES_POLLING_FAILED) {
        const long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd ready{PQsocket(conn_), static_cast<short>(polled == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) == 0) {
            late = true;
            break;
        }
        polled = PQconnectPoll(conn_);
    }
    if (!conn_ || late || PQstatus(conn_) != CONNECTION_OK) {
        const std::string message = !conn_ ? "out of memory"
                                    : late ? "no answer within " + std::to_string(connectMilliseconds) + " ms"
                                           : libpqError();
        PQfinish(conn_);
        conn_ = nullptr;
        throw PgError("cannot connect to the database: " + message, "", true, late);
    }
}

PgConnection::PgConnection(const std::string& uri, const PgSettings& settings, int connectMilliseconds)
    : uri_(uri), answerMilliseconds_(settings.answerMilliseconds)
{
    const int connectMs = settings.connectSeconds * 1000;
    connect(uri, connectMilliseconds > 0       ? connectMilliseconds
                 : answerMilliseconds_ > 0 ? std::min(connectMs, answerMilliseconds_)
                                           : connectMs);
    // Failures reach the store as PgError; libpq's own notices (a connection
    // ended by the database, say) would go to standard error past the log.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    // Every statement and every wait for a lock bounded in time (answered
    // by the server, a quarter before this side gives up), and a
    // transaction left open by a stuck client ended by the server.
    const int serverSide = answerMilliseconds_ > 0 ? answerMilliseconds_ - answerMilliseconds_ / 4 : 0;
    const int statementMs =
        serverSide > 0 ? std::min(settings.statementSeconds * 1000, serverSide) : settings.statementSeconds * 1000;
    const std::string limits = "SET statement_timeout = " + std::to_string(statementMs) +
                               "; SET lock_timeout = " + std::to_string(serverSide > 0 ? serverSide : statementMs) +
                               "; SET idle_in_transaction_session_timeout = 60000; SET client_min_messages = warning";
    execute(limits.c_str());
}

PgConnection::~PgConnection()
{
    disarm();
    PQfinish(conn_);
}

std::string PgConnection::libpqError() const
{
    std::string message = withoutPasswords(PQerrorMessage(conn_), uri_);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    return message;
}

int PgConnection::serverVersion() const { return PQserverVersion(conn_); }

bool PgConnection::broken() const { return !conn_ || timedOut_ || PQstatus(conn_) != CONNECTION_OK; }

PgError PgConnection::failure(pg_result* result, const std::string& what) const
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = result ? withoutPasswords(PQresultErrorMessage(result), uri_) : "";
    if (message.empty() && conn_) message = libpqError();
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    if (timedOut_) message = "no answer within " + std::to_string(answerMilliseconds_) + " ms";
    PgError error(what + ": " + message, state && !timedOut_ ? state : "", broken(), timedOut_);
    PQclear(result);
    return error;
}

PgError PgConnection::drop(const std::string& what)
{
    std::string message = conn_ ? libpqError() : "not connected";
    if (timedOut_) message = "no answer within " + std::to_string(answerMilliseconds_) + " ms";
    disarm(); // before the descriptor closes, and may be reused
    PQfinish(conn_);
    conn_ = nullptr;
    queued_.clear();
    return PgError(what + ": " + message, "", true, timedOut_);
}

void PgConnection::execute(const char* sql)
{
    if (!queued_.empty()) throw StoreError("a statement run before the queue's answers were read");
    // Several statements in one simple query run in order, in one round trip.
    const std::string held = beginHeld_ ? std::string("BEGIN; ") + sql : std::string();
    beginHeld_ = false;
    const Bounded bounded(*this);
    pg_result* result = PQexec(conn_, held.empty() ? sql : held.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw failure(result, sql);
    PQclear(result);
}

bool PgConnection::awaitNotification(int milliseconds)
{
    bool came = false;
    const auto take = [&] {
        // What the socket holds now, at most its buffer: bounded.
        if (!PQconsumeInput(conn_)) throw PgError(std::string("waiting for changes: ") + libpqError(), "", true);
        while (PGnotify* n = PQnotifies(conn_)) {
            PQfreemem(n);
            came = true;
        }
    };
    take();
    pollfd ready{PQsocket(conn_), POLLIN, 0};
    if (ready.fd < 0) throw PgError("waiting for changes: not connected", "", true);
    if (!came && ::poll(&ready, 1, milliseconds) > 0) take();
    return came;
}

void PgConnection::begin()
{
    beginHeld_ = true;
    commitSent_ = false;
}

void PgConnection::commit()
{
    if (commitSent_) return;
    if (beginHeld_) { // nothing was run: no transaction to end
        beginHeld_ = false;
        return;
    }
    commitSent_ = true;
    execute("COMMIT");
}

void PgConnection::startQueue()
{
    if (!queued_.empty()) return;
    if (PQenterPipelineMode(conn_) != 1) throw PgError(std::string("queueing: ") + libpqError(), "", true);
    if (beginHeld_)
        send(PQsendQueryParams(conn_, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1, false, "BEGIN");
    beginHeld_ = false;
}

void PgConnection::send(bool sent, bool wanted, const char* what)
{
    if (!sent) throw drop(what); // out of step with the server: this connection is not used again
    queued_.push_back(wanted);
}

void PgConnection::queuePlain(const std::string& sql)
{
    const Bounded bounded(*this);
    startQueue();
    send(PQsendQueryParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1, false, sql.c_str());
}

std::vector<PgRows> PgConnection::flush(bool committing)
{
    std::vector<PgRows> rows;
    if (queued_.empty()) return rows;
    const Bounded bounded(*this);
    if (committing) {
        commitSent_ = true;
        send(PQsendQueryParams(conn_, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1, false, "COMMIT");
    }
    std::vector<pg_result*> answers;
    const bool ok = PQpipelineSync(conn_) == 1 && readToSync(conn_, queued_.size(), answers);
    const std::vector<bool> wanted = std::move(queued_);
    queued_.clear();
    if (!ok || PQexitPipelineMode(conn_) != 1) {
        for (pg_result* answer : answers) PQclear(answer);
        send(false, false, "reading queued statements");
    }
    // The first failure, once every answer is read; the statements after it come back aborted.
    pg_result* failed = nullptr;
    for (pg_result* answer : answers) {
        const ExecStatusType status = PQresultStatus(answer);
        if (!failed && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) failed = answer;
    }
    if (failed) {
        for (pg_result* answer : answers)
            if (answer != failed) PQclear(answer);
        // The statements prepared in the queue may not have been.
        for (const std::string& sql : preparedInQueue_) prepared_.erase(sql);
        preparedInQueue_.clear();
        throw failure(failed, "a queued statement");
    }
    preparedInQueue_.clear();
    for (std::size_t i = 0; i < answers.size(); ++i) {
        if (wanted[i]) rows.emplace_back(answers[i]);
        else PQclear(answers[i]);
    }
    return rows;
}

void PgConnection::settle()
{
    beginHeld_ = false;
    if (!queued_.empty()) { // left in the middle of a queue: not used again
        PQfinish(conn_);
        conn_ = nullptr;
        queued_.clear();
    }
    if (broken()) return;
    const Bounded bounded(*this);
    if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
}

const PgConnection::Prepared& PgConnection::prepare(const std::string& sql)
{
    if (const auto found = prepared_.find(sql); found != prepared_.end()) return found->second;
    // :name becomes $n, the same n at each use; '::' casts and quoted text are left alone.
    Prepared p;
    std::string translated;
    bool quoted = false;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') quoted = !quoted;
        const bool startsName = i + 1 < sql.size() && (std::isalpha(static_cast<unsigned char>(sql[i + 1])) ||
                                                       sql[i + 1] == '_');
        if (quoted || c != ':' || !startsName || (i > 0 && sql[i - 1] == ':')) {
            translated += c;
            continue;
        }
        std::size_t end = i + 1;
        while (end < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[end])) || sql[end] == '_')) ++end;
        const std::string name = sql.substr(i, end - i);
        std::size_t index = 0;
        while (index < p.parameters.size() && p.parameters[index] != name) ++index;
        if (index == p.parameters.size()) p.parameters.push_back(name);
        translated += "$" + std::to_string(index + 1);
        i = end - 1;
    }
    p.name = "s" + std::to_string(prepared_.size() + 1);
    p.sql = sql;
    const Bounded bounded(*this);
    if (!queued_.empty()) { // its answer read with the queue's
        send(PQsendPrepare(conn_, p.name.c_str(), translated.c_str(), 0, nullptr) == 1, false, sql.c_str());
        preparedInQueue_.push_back(sql);
        return prepared_.emplace(sql, std::move(p)).first->second;
    }
    pg_result* result = PQprepare(conn_, p.name.c_str(), translated.c_str(), 0, nullptr);
    if (PQresultStatus(result) != PGRES_COMMAND_OK) throw failure(result, sql);
    PQclear(result);
    return prepared_.emplace(sql, std::move(p)).first->second;
}

pg_result* PgConnection::runPipelined(const Prepared& p, const std::vector<const char*>& values, bool committing)
{
    const bool begins = beginHeld_;
    beginHeld_ = false;
    if (committing) commitSent_ = true;
    const auto send = [&](const char* sql) { return PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0); };
    const int sent = (begins ? 1 : 0) + 1 + (committing ? 1 : 0);
    bool ok = PQenterPipelineMode(conn_) == 1 && (!begins || send("BEGIN") == 1) &&
              PQsendQueryPrepared(conn_, p.name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                                  nullptr, 0) == 1 &&
              (!committing || send("COMMIT") == 1) && PQpipelineSync(conn_) == 1;
    // Every answer read, up to the sync, before the pipeline is left: the
    // statements after a failed one come back as aborted.
    std::vector<pg_result*> answers;
    ok = ok && readToSync(conn_, static_cast<std::size_t>(sent), answers);
    if (!ok || PQexitPipelineMode(conn_) != 1) {
        // Out of step with the server: this connection is not used again.
        for (pg_result* answer : answers) PQclear(answer);
        throw drop(p.sql);
    }
    // The first answer that failed, else the statement's.
    pg_result* chosen = answers[begins ? 1 : 0];
    for (pg_result* answer : answers) {
        const ExecStatusType status = PQresultStatus(answer);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            chosen = answer;
            break;
        }
    }
    for (pg_result* answer : answers)
        if (answer != chosen) PQclear(answer);
    return chosen;
}

PgConnection::Query PgConnection::query(const std::string& sql) { return Query(*this, prepare(sql)); }

PgRows PgConnection::run(const std::string& sql, const std::vector<std::optional<std::string>>& values)
{
    std::vector<std::string> kept;
    kept.reserve(values.size());
    std::vector<const char*> pointers;
    for (const auto& v : values) {
        if (v) kept.push_back(storable(*v));
        pointers.push_back(v ? kept.back().c_str() : nullptr);
    }
    const Bounded bounded(*this);
    pg_result* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(pointers.size()), nullptr,
                                     pointers.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw failure(result, "a bulk write");
    return PgRows(result);
}

PgConnection::Query::Query(PgConnection& connection, const Prepared& prepared)
    : connection_(connection), prepared_(prepared), values_(prepared.parameters.size())
{
}

PgConnection::Query& PgConnection::Query::bind(const char* name, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return set(name, text);
}

PgConnection::Query& PgConnection::Query::set(const char* name, std::string value)
{
    for (std::size_t i = 0; i < prepared_.parameters.size(); ++i) {
        if (prepared_.parameters[i] != name) continue;
        values_[i] = storable(std::move(value));
        return *this;
    }
    // A name the statement does not have is a mistake in the code, not a NULL.
    throw StoreError(std::string("no parameter ") + name + " in: " + prepared_.sql);
}

void PgConnection::Query::queue(bool wanted)
{
    std::vector<const char*> values;
    for (const auto& v : values_) values.push_back(v ? v->c_str() : nullptr);
    const Bounded bounded(connection_);
    connection_.startQueue();
    connection_.send(PQsendQueryPrepared(connection_.conn_, prepared_.name.c_str(), static_cast<int>(values.size()),
                                         values.data(), nullptr, nullptr, 0) == 1,
                     wanted, prepared_.sql.c_str());
}

PgRows PgConnection::Query::run()
{
    if (!connection_.queued_.empty()) throw StoreError("a statement run before the queue's answers were read");
    std::vector<const char*> values;
    for (const auto& v : values_) values.push_back(v ? v->c_str() : nullptr);
    const Bounded bounded(connection_);
    pg_result* result =
        connection_.beginHeld_ || committing_
            ? connection_.runPipelined(prepared_, values, committing_)
            : PQexecPrepared(connection_.conn_, prepared_.name.c_str(), static_cast<int>(values.size()),
                             values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw connection_.failure(result, prepared_.sql);
    return PgRows(result);
}

} // namespace pelmora::server
