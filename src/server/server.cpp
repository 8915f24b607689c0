#include "server/server.h"

#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>

#include "server/store/postgres/postgres_store.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server/support/log.h"
#include "server/team_server.h"
#include "server/tokens.h"

namespace pelmora::server {
namespace {

// The log level, the signals, the heap and the descriptors: the process as
// the server needs it. Returns the stop signals, which the signal thread
// waits for.
sigset_t setUpProcess(const ServerOptions& options)
{
    Level level = Level::info;
    logLevelFromName(options.logLevel, level);
    setLogLevel(level);

    // SIGTERM and SIGINT wait for the thread that asks for them; every
    // thread started from here inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Two heaps for all threads: the HTTP workers each building a large
    // answer in a heap of its own would hold that memory many times over.
    mallopt(M_ARENA_MAX, 2);
    // Large answers (the machine list, metrics) in memory of their own, given
    // back when sent: left to itself, glibc raises this threshold after the
    // first such free and later ones stay in the heap, scattered.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(defaults::kOwnMemoryFromBytes));
    // Both listeners' connection limits, the store and the log need more
    // descriptors than the usual soft limit of 1,024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    return stopSignals;
}

// The store the options name, locked for this server and writable, and the
// file the admin token is made in when none is given: the one place that
// chooses a kind of store.
struct OpenedStore {
    std::unique_ptr<Store> store;
    std::string madeTokenFile;
};

OpenedStore openStore(const ServerOptions& options)
{
    std::string error;
    // A libpq URI names a PostgreSQL database, shared by every server on it;
    // anything else is a SQLite file. SQLite's token is made beside its file;
    // PostgreSQL's is kept in the database, with a copy in the working
    // folder. The URI may hold a password: the log names the database's
    // kind, never the URI.
    const bool postgres = isPostgresUri(options.db);
    OpenedStore opened = postgres ? OpenedStore{openPostgresStore(options.db, error), "pelmora-server.admin-token"}
                                  : OpenedStore{openSqliteStore(options.db, error), options.db + ".admin-token"};
    const std::string name = postgres ? std::string("the PostgreSQL database") : "the store " + options.db;
    if (!opened.store) {
        logEvent(Level::error, error);
    } else if (!opened.store->writable(error)) {
        logEvent(Level::error, name + " cannot be written: " + error);
        opened.store.reset();
    }
    return opened;
}

// --show-admin-token: a SQLite store is held by its server, so its token
// is read from the file beside it without opening the store.
int showAdminToken(const ServerOptions& options)
{
    std::string error, token;
    OpenedStore opened{nullptr, options.db + ".admin-token"};
    if (isPostgresUri(options.db) && options.adminTokenFile.empty()) {
        opened = openStore(options);
        if (!opened.store) return 1;
    }
    if (!adminTokenToShow(options, opened.store.get(), opened.madeTokenFile, token, error)) {
        std::fprintf(stderr, "pelmora-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", token.c_str());
    return 0;
}

} // namespace

int runServer(const ServerOptions& options)
{
    sigset_t stopSignals = setUpProcess(options);
    OpenedStore opened = openStore(options);
    if (!opened.store) return 1;
    Tokens tokens;
    if (!loadTokens(options, *opened.store, opened.madeTokenFile, tokens)) return 1;
    {
        TeamServer server(options, *opened.store, tokens);
        if (!server.bind()) return 1;
        std::thread signals([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            logEvent(Level::info, std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            server.stop();
        });
        server.run();
        signals.join();
    }
    opened.store.reset();
    logEvent(Level::info, "stopped");
    return 0;
}

int serverMain(int argc, const char* const* argv)
{
    ServerOptions options;
    std::string message;
    const int status = parseOptions(argc, argv, options, message);
    if (status >= 0) {
        std::fputs(message.c_str(), status == 0 ? stdout : stderr);
        return status;
    }
    return options.showAdminToken ? showAdminToken(options) : runServer(options);
}

} // namespace pelmora::server
