// pelmora-server-bench: the team server under simulated monitors on
// loopback, on each kind of store in one run: a scratch SQLite file, then
// a PostgreSQL cluster the benchmark makes (skipped, saying so, when
// PostgreSQL's programs are not installed). For each it starts
// build/linux/pelmora-server on free ports and measures:
//   1. exchanges a second, sustained, with 10,000 known machines;
//   2. the 99th percentile of one exchange at 1,000 exchanges a second;
//   3. GET /api/machines with 10,000 machines, while they report and after;
//   4. the server's peak resident memory (the server process alone);
//   5. store growth per report (SQLite's file).
// Prints the figures beside their targets; exit status 1 when one misses
// (PostgreSQL's exchanges a second: at least half of SQLite's).
//   pelmora-server-bench [SECONDS_OF_EACH_RUN (5)]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <glob.h>
#include <httplib.h>
#include <pwd.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/monitor_exchange.h"
using namespace pelmora;

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kMachines = 10000;

int monitorPort = 0, httpPort = 0;

// One monitor exchange, as the monitor makes it; false on any fault.
bool exchange(int machine, int progress)
{
    char name[16], unit[32], user[16];
    std::snprintf(name, sizeof name, "BENCH%05d", machine);
    std::snprintf(unit, sizeof unit, "p%d_R1_C2_G3", 1000 + machine % 50);
    std::snprintf(user, sizeof user, "user%02d", machine % 40);
    MonitorRecordFields r;
    r.computerName = name;
    r.unitsSeen = 3;
    r.progress = progress;
    r.unit = unit;
    r.user = user;
    r.team = 12345;
    return monitorExchange(monitorPort, [&](int slot) { return monitorRecordText(slot, r); }) >= 0;
}

long long fileSize(const std::string& path)
{
    struct stat s{};
    return ::stat(path.c_str(), &s) == 0 ? s.st_size : 0;
}

long long peakResidentKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

// Closed loop: THREADS clients back to back for SECONDS over the machines.
double sustainedRate(int threads, double seconds, int progress, long long& failures)
{
    std::atomic<long long> done{0}, failed{0};
    std::atomic<int> next{0};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t)
        clients.emplace_back([&] {
            while (Clock::now() < end) {
                if (exchange(next++ % kMachines, progress))
                    ++done;
                else
                    ++failed;
            }
        });
    for (auto& c : clients) c.join();
    failures = failed;
    return done / std::chrono::duration<double>(Clock::now() - start).count();
}

// Open loop at RATE a second: each exchange starts on its schedule, on one
// of a pool of clients; the time of each is from its scheduled start.
std::vector<double> pacedLatencies(int rate, double seconds, long long& failures)
{
    const int total = static_cast<int>(rate * seconds);
    std::vector<double> millis(static_cast<std::size_t>(total), 0.0);
    std::atomic<int> next{0};
    std::atomic<long long> failed{0};
    const auto start = Clock::now() + std::chrono::milliseconds(50);
    std::vector<std::thread> clients;
    for (int t = 0; t < 32; ++t)
        clients.emplace_back([&] {
            for (int i = next++; i < total; i = next++) {
                const auto due = start + std::chrono::microseconds(static_cast<long long>(i * 1e6 / rate));
                std::this_thread::sleep_until(due);
                if (!exchange(i % kMachines, 60)) ++failed;
                millis[static_cast<std::size_t>(i)] =
                    std::chrono::duration<double, std::milli>(Clock::now() - due).count();
            }
        });
    for (auto& c : clients) c.join();
    failures = failed;
    std::sort(millis.begin(), millis.end());
    return millis;
}

// A PostgreSQL cluster of the benchmark's own: initdb and pg_ctl from
// PELMORA_PG_BIN or the newest /usr/lib/postgresql/*/bin, as nobody when
// root (PostgreSQL refuses root), a Unix socket in a scratch folder only.
// Commits nearly as durable as SQLite's (synchronous = NORMAL): fsync on,
// synchronous_commit off (a crash of PostgreSQL or of the machine loses
// the last moments' commits, one of the server none).
// PELMORA_BENCH_PG_OPTIONS adds settings ("-c fsync=off").
class Cluster {
public:
    // The database's URI, or "" with WHY.
    std::string start(std::string& why)
    {
        if (const char* given = std::getenv("PELMORA_PG_BIN")) bin_ = given;
        glob_t found{};
        if (bin_.empty() && glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
            std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
            std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
                return std::atoi(a.c_str() + 20) < std::atoi(b.c_str() + 20); // after /usr/lib/postgresql/
            });
            bin_ = paths.back().substr(0, paths.back().size() - 7);
        }
        globfree(&found);
        if (bin_.empty() || access((bin_ + "/pg_ctl").c_str(), X_OK) != 0)
            return why = "PostgreSQL's programs are not installed (Debian's postgresql, or PELMORA_PG_BIN)", "";
        const char* given = std::getenv("PELMORA_BENCH_PG_OPTIONS");
        const std::string extra = given ? given : "";
        char scratch[] = "/tmp/pelmora-bench-pg-XXXXXX";
        if (!mkdtemp(scratch)) return why = "cannot make a scratch folder", "";
        scratch_ = scratch;
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || chown(scratch, nobody->pw_uid, nobody->pw_gid) != 0)
                return why = "cannot give the scratch folder to nobody", "";
            asUser_ = "runuser -u nobody -- ";
        }
        if (!run("initdb -D " + scratch_ + "/data -U pelmora --auth=trust -E UTF8 --no-locale") ||
            !run("pg_ctl -D " + scratch_ + "/data -l " + scratch_ + "/server.log -w -t 60 -o \"-k " + scratch_ +
                 " -c listen_addresses='' -c synchronous_commit=off " + extra + "\" start"))
            return why = "the cluster did not start (see " + scratch_ + "/command.log)", "";
        started_ = true;
        return "postgresql:///postgres?host=" + scratch_ + "&user=pelmora";
    }
    ~Cluster()
    {
        // Kept when it did not start, for its log.
        if (!started_) return;
        run("pg_ctl -D " + scratch_ + "/data -m fast -w stop");
        [[maybe_unused]] const int removed = std::system(("rm -rf " + scratch_).c_str());
    }

private:
    bool run(const std::string& command) const
    {
        return std::system((asUser_ + bin_ + "/" + command + " >>" + scratch_ + "/command.log 2>&1").c_str()) == 0;
    }
    std::string bin_, scratch_, asUser_;
    bool started_ = false;
};

struct Figures {
    double rate = 0, p99 = 0, list = 0;
    long long rss = 0;
};

// One server on DB, measured; false when it did not start.
bool measure(const std::string& db, const std::string& scratch, double seconds, Figures& figures)
{
    const std::string log = scratch + "/server.log", token = scratch + "/admin-token";
    std::ofstream(token) << "bench-admin-token-0123456789\n";
    chmod(token.c_str(), 0600);
    monitorPort = httpPort = 0;
    const pid_t server = fork();
    if (server == 0) {
        std::freopen(log.c_str(), "w", stderr);
        // The whole simulated fleet comes from one address: lift the per-address rate and the cap.
        execl(PELMORA_SERVER, PELMORA_SERVER, "--db", db.c_str(), "--admin-token-file", token.c_str(),
              "--monitor-listen", "127.0.0.1:0", "--http-listen", "127.0.0.1:0", "--new-machines-per-hour", "1000000",
              "--max-machines", "1000000", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The ports the server took, from its log.
    for (int i = 0; i < 200 && (monitorPort == 0 || httpPort == 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t at = line.rfind("127.0.0.1:");
            if (at == std::string::npos) continue;
            const int port = std::atoi(line.c_str() + at + 10);
            if (line.find(" monitors on ") != std::string::npos) monitorPort = port;
            if (line.find(" HTTP on ") != std::string::npos) httpPort = port;
        }
    }
    if (monitorPort == 0 || httpPort == 0) {
        std::fprintf(stderr, "the server did not start (log in %s)\n", log.c_str());
        kill(server, SIGKILL);
        waitpid(server, nullptr, 0);
        return false;
    }
    long long failures = 0;
    // The fleet: 10,000 machines, each known after its first report.
    const auto fillStart = Clock::now();
    std::vector<std::thread> fill;
    for (int first = 0; first < 8; ++first)
        fill.emplace_back([first] {
            for (int i = first; i < kMachines; i += 8) exchange(i, 10);
        });
    for (auto& f : fill) f.join();
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStart).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // a checkpoint
    const long long sizeBefore = fileSize(db); // the log is checkpointed into it four times a second

    const double rate = sustainedRate(8, seconds, 20, failures);
    const long long reports = static_cast<long long>(rate * seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long long sizeAfter = fileSize(db);
    std::printf("fleet of %d machines made in %.1f s\n", kMachines, fillSeconds);
    std::printf("exchanges a second, 8 clients, %d known machines: %.0f (%lld failed)  target >= 2000\n", kMachines,
                rate, failures);

    const std::vector<double> paced = pacedLatencies(1000, seconds, failures);

    // Again, with the machine list read four times a second meanwhile.
    std::atomic<bool> pacing{true};
    std::vector<double> busyLists;
    std::thread reader([&] {
        httplib::Client api("127.0.0.1", httpPort);
        api.set_read_timeout(10, 0);
        while (pacing) {
            const auto start = Clock::now();
            if (api.Get("/api/machines"))
                busyLists.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    long long busyFailures = 0;
    const std::vector<double> busy = pacedLatencies(1000, seconds, busyFailures);
    pacing = false;
    reader.join();
    std::sort(busyLists.begin(), busyLists.end());
    const double p50 = paced[paced.size() / 2], p99 = paced[paced.size() * 99 / 100], worst = paced.back();
    std::printf("one exchange at 1000 a second: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%lld failed)  target p99 < 20 ms\n",
                p50, p99, worst, failures);

    httplib::Client api("127.0.0.1", httpPort);
    api.set_read_timeout(10, 0);
    std::vector<double> listTimes;
    std::size_t bytes = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        auto r = api.Get("/api/machines");
        listTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (r) bytes = r->body.size();
    }
    const double firstList = listTimes.front();
    std::printf("the same with the machine list read 4 times a second: p50 %.2f ms, p99 %.2f ms (%lld failed);"
                " the %zu reads: median %.1f ms, worst %.1f ms\n",
                busy[busy.size() / 2], busy[busy.size() * 99 / 100], busyFailures, busyLists.size(),
                busyLists.empty() ? 0.0 : busyLists[busyLists.size() / 2], busyLists.empty() ? 0.0 : busyLists.back());
    std::sort(listTimes.begin(), listTimes.end());
    std::printf("GET /api/machines, %d machines, %zu bytes: first %.1f ms, median %.1f ms, worst %.1f ms  target < 50 ms\n",
                kMachines, bytes, firstList, listTimes[listTimes.size() / 2], listTimes.back());

    const long long rss = peakResidentKib(server);
    std::printf("server peak resident memory: %lld KiB  target < 65536 KiB\n", rss);
    const double growth = reports > 0 ? static_cast<double>(sizeAfter - sizeBefore) / static_cast<double>(reports) : 0;
    if (sizeAfter > 0) // a file's store
        std::printf("store growth: %.0f bytes a report (%lld reports, store %lld -> %lld bytes)\n", growth, reports,
                    sizeBefore, sizeAfter);

    figures = {rate, p99, listTimes[listTimes.size() / 2], rss};
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as it comes, also into a file
    char scratch[] = "/tmp/pelmora-server-bench-XXXXXX";
    if (!mkdtemp(scratch)) return 2;
    const auto removeScratch = [&] {
        [[maybe_unused]] const int removed = std::system((std::string("rm -rf ") + scratch).c_str());
    };

    std::printf("== SQLite store\n");
    Figures sqlite, postgres;
    if (!measure(std::string(scratch) + "/bench.db", scratch, seconds, sqlite)) return removeScratch(), 2;
    bool pass = sqlite.rate >= 2000 && sqlite.p99 < 20 && sqlite.list < 50 && sqlite.rss < 65536;

    std::printf("== PostgreSQL store\n");
    Cluster cluster;
    std::string why;
    const std::string uri = cluster.start(why);
    if (uri.empty()) {
        std::printf("skipped: %s\n", why.c_str());
    } else if (!measure(uri, scratch, seconds, postgres)) {
        removeScratch();
        return 2;
    } else {
        std::printf("exchanges a second against SQLite's: %.2f  target >= 0.5\n", postgres.rate / sqlite.rate);
        pass = pass && postgres.rate >= sqlite.rate / 2 && postgres.p99 < 20 && postgres.list < 50 &&
               postgres.rss < 65536;
    }
    removeScratch();
    std::printf("%s\n", pass ? "PASS" : "MISS");
    return pass ? 0 : 1;
}
