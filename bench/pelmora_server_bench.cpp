// pelmora-server-bench: the team server under simulated monitors on
// loopback. First a do-nothing server of the same exchange (a fork of this
// program: slot byte, record, command byte, nothing stored), the floor the
// server is measured against; then the server on each kind of store: a
// scratch SQLite file, then a PostgreSQL cluster the benchmark makes
// (skipped, saying so, when PostgreSQL's programs are not installed). For
// each store it starts build/linux/pelmora-server on free ports and measures:
//   1. exchanges a second, sustained, with 10,000 known machines, against
//      the do-nothing server's, and the server's CPU time a exchange;
//   2. the 99th percentile of one exchange at 1,000 exchanges a second;
//   3. GET /api/machines with 10,000 machines, while they report and after;
//   4. the server's peak resident memory (the server process alone);
//   5. store growth per report (SQLite's file).
// Prints the figures beside their targets; exit status 1 when one misses
// (SQLite's exchanges a second: at least 0.8 of the do-nothing server's;
// PostgreSQL's: at least half of SQLite's). Run it under `taskset -c 0` for
// the small machine's figures: it prints the CPUs it may use.
//   pelmora-server-bench [SECONDS_OF_EACH_RUN (5)]
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <glob.h>
#include <httplib.h>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "protocol/monitor_protocol.h"

namespace {
using Clock = std::chrono::steady_clock;
using pelmora::protocol::kRecordBytes;
constexpr int kMachines = 10000;

int monitorPort = 0, httpPort = 0;

// The fleet's records, made before a run so that a client only copies one:
// each machine's text after its slot (the slot comes from the server). The
// load generator shares the two cores with the server; the less it costs,
// the more of the server's own cost the figures show.
class Records {
public:
    explicit Records(int progress) : tails_(kMachines)
    {
        namespace protocol = pelmora::protocol;
        static_assert(protocol::kRecordFields[0].field == protocol::kSlot && protocol::kRecordFields[1].gap == 1,
                      "the record starts with its slot and one space");
        char text[kRecordBytes];
        for (int m = 0; m < kMachines; ++m) {
            char name[16], unit[32], user[16];
            std::snprintf(name, sizeof name, "BENCH%05d", m);
            std::snprintf(unit, sizeof unit, "p%d_R1_C2_G3", 1000 + m % 50);
            std::snprintf(user, sizeof user, "user%02d", m % 40);
            protocol::RecordValues v;
            v.computerName = name;
            v.cpu = 1;
            v.unitsSeen = 3;
            v.progress = progress;
            v.unit = unit;
            v.cpuMhz = 2400.0;
            v.cpuVendor = "GenuineIntel";
            v.core = "GroCVS";
            v.frames = 100;
            v.points = 150;
            v.user = user;
            v.team = 12345;
            const int n = protocol::formatRecord(v, text, sizeof text);
            tails_[static_cast<std::size_t>(m)].assign(text + 2, static_cast<std::size_t>(n) - 2); // past "0 "
        }
    }
    // MACHINE's record for SLOT into OUT: the text, then zeros.
    void make(int machine, int slot, char (&out)[kRecordBytes]) const
    {
        char* at = std::to_chars(out, out + 8, slot).ptr;
        *at++ = ' ';
        const std::string& tail = tails_[static_cast<std::size_t>(machine)];
        std::memcpy(at, tail.data(), tail.size());
        at += tail.size();
        std::memset(at, 0, static_cast<std::size_t>(out + kRecordBytes - at));
    }

private:
    std::vector<std::string> tails_;
};

// One monitor exchange, as the monitor makes it: connect, slot byte,
// record, command byte, close; false on any fault. One receive timeout, so
// that a server that stops answering cannot hang the run.
bool exchange(int port, const Records& records, int machine)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    signed char slot = 0;
    char record[kRecordBytes], command = 0;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && ::recv(fd, &slot, 1, 0) == 1;
    if (ok) {
        records.make(machine, slot, record);
        ok = ::send(fd, record, sizeof record, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof record) &&
             ::recv(fd, &command, 1, 0) == 1;
    }
    ::close(fd);
    return ok;
}

// The do-nothing server: what the team server's monitor port does on the
// wire and nothing else, on one thread with Boost.Asio as the real listener
// (TCP_NODELAY, the same backlog). Runs in the child until killed; the port
// it took goes to the parent through PORT_OUT.
[[noreturn]] void serveNothing(int portOut)
{
    namespace asio = boost::asio;
    using asio::ip::tcp;
    using boost::system::error_code;
    struct Connection {
        explicit Connection(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        char byte = 1; // the slot offered, then the command: none
        char record[kRecordBytes];
    };
    signal(SIGPIPE, SIG_IGN);
    asio::io_context io{1};
    tcp::acceptor acceptor(io);
    const tcp::endpoint at(asio::ip::make_address_v4("127.0.0.1"), 0);
    acceptor.open(tcp::v4());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(at);
    acceptor.listen(512);
    const int port = acceptor.local_endpoint().port();
    if (write(portOut, &port, sizeof port) != sizeof port) _exit(1);
    close(portOut);
    std::function<void()> accept = [&] {
        acceptor.async_accept([&](error_code ec, tcp::socket socket) {
            accept();
            if (ec) return;
            auto c = std::make_shared<Connection>(std::move(socket));
            c->socket.set_option(tcp::no_delay(true), ec);
            asio::async_write(c->socket, asio::buffer(&c->byte, 1), [c](error_code sent, std::size_t) {
                if (sent) return;
                asio::async_read(c->socket, asio::buffer(c->record), [c](error_code read, std::size_t) {
                    if (read) return;
                    c->byte = 0;
                    asio::async_write(c->socket, asio::buffer(&c->byte, 1), [c](error_code, std::size_t) {});
                });
            });
        });
    };
    accept();
    io.run();
    _exit(0);
}

// The do-nothing server's process and port; 0 when it did not start.
pid_t startDoNothing(int& port)
{
    int fds[2];
    if (pipe(fds) != 0) return 0;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        serveNothing(fds[1]);
    }
    close(fds[1]);
    const bool told = child > 0 && read(fds[0], &port, sizeof port) == sizeof port;
    close(fds[0]);
    if (told) return child;
    if (child > 0) waitpid(child, nullptr, 0);
    return 0;
}

void stop(pid_t child)
{
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
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

// A process's CPU time so far, all its threads (utime and stime of
// /proc/PID/stat), in microseconds.
struct CpuTime {
    double user = 0, system = 0;
};
CpuTime cpuTime(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t name = text.rfind(')'); // the command's name may hold spaces
    if (name == std::string::npos) return {};
    const char* p = text.c_str() + name + 2;
    for (int field = 3; field < 14; ++field) p = std::strchr(p, ' ') + 1; // to utime, the 14th
    char* end = nullptr;
    const double user = std::strtod(p, &end), system = std::strtod(end, nullptr);
    const double tick = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
    return {user * tick, system * tick};
}

// This process's, from its own counters (exact).
CpuTime ownCpuTime()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return {r.ru_utime.tv_sec * 1e6 + r.ru_utime.tv_usec, r.ru_stime.tv_sec * 1e6 + r.ru_stime.tv_usec};
}

CpuTime since(const CpuTime& before, const CpuTime& now)
{
    return {now.user - before.user, now.system - before.system};
}

// A closed-loop run: what went through, and what it cost the server and
// the load generator.
struct Sustained {
    long long done = 0, failed = 0;
    double seconds = 0;
    CpuTime server, generator; // over the run (the generator: this process)
    double rate() const { return done / seconds; }
};

// Closed loop: THREADS clients back to back for SECONDS over the machines,
// against PORT served by SERVER.
Sustained sustainedRun(int port, pid_t server, int threads, double seconds, const Records& records)
{
    std::atomic<long long> done{0}, failed{0};
    std::atomic<int> next{0};
    std::vector<std::thread> clients;
    const CpuTime serverBefore = cpuTime(server);
    const CpuTime generatorBefore = ownCpuTime();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (int t = 0; t < threads; ++t)
        clients.emplace_back([&] {
            while (Clock::now() < end) {
                if (exchange(port, records, next++ % kMachines))
                    ++done;
                else
                    ++failed;
            }
        });
    for (auto& c : clients) c.join();
    Sustained run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.server = since(serverBefore, cpuTime(server));
    run.generator = since(generatorBefore, ownCpuTime());
    run.done = done;
    run.failed = failed;
    return run;
}

void printCpu(const Sustained& run)
{
    const double n = static_cast<double>(std::max(run.done, 1LL));
    const CpuTime& s = run.server;
    const CpuTime& g = run.generator;
    std::printf("CPU time a exchange: %.1f µs (user %.1f, system %.1f); the load generator's: %.1f µs (user %.1f,"
                " system %.1f)\n",
                (s.user + s.system) / n, s.user / n, s.system / n, (g.user + g.system) / n, g.user / n, g.system / n);
}

// Open loop at RATE a second: each exchange starts on its schedule, on one
// of a pool of clients; the time of each is from its scheduled start.
std::vector<double> pacedLatencies(int rate, double seconds, const Records& records, long long& failures)
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
                if (!exchange(monitorPort, records, i % kMachines)) ++failed;
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

// One server on DB, measured beside the do-nothing server's FLOOR (exchanges
// a second); false when it did not start.
bool measure(const std::string& db, const std::string& scratch, double seconds, double floor, Figures& figures)
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
    const Records first(10), again(20), paced(60);
    const auto fillStart = Clock::now();
    std::vector<std::thread> fill;
    for (int from = 0; from < 8; ++from)
        fill.emplace_back([from, &first] {
            for (int i = from; i < kMachines; i += 8) exchange(monitorPort, first, i);
        });
    for (auto& f : fill) f.join();
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStart).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // a checkpoint
    const long long sizeBefore = fileSize(db); // the log is checkpointed into it four times a second

    const Sustained run = sustainedRun(monitorPort, server, 8, seconds, again);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long long sizeAfter = fileSize(db);
    std::printf("fleet of %d machines made in %.1f s\n", kMachines, fillSeconds);
    std::printf("exchanges a second, 8 clients, %d known machines: %.0f (%lld failed)\n", kMachines, run.rate(),
                run.failed);
    printCpu(run);
    std::printf("exchanges a second against the do-nothing server's: %.2f%s\n", run.rate() / floor,
                db.rfind("postgresql:", 0) == 0 ? "" : "  target >= 0.8");

    const std::vector<double> calm = pacedLatencies(1000, seconds, paced, failures);

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
    const std::vector<double> busy = pacedLatencies(1000, seconds, paced, busyFailures);
    pacing = false;
    reader.join();
    std::sort(busyLists.begin(), busyLists.end());
    const double p50 = calm[calm.size() / 2], p99 = calm[calm.size() * 99 / 100], worst = calm.back();
    std::printf("one exchange at 1000 a second: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%lld failed)  target p99 < 5 ms\n",
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
    std::printf("server peak resident memory: %lld KiB  target <= 65536 KiB\n", rss);
    const double growth = run.done > 0 ? static_cast<double>(sizeAfter - sizeBefore) / static_cast<double>(run.done) : 0;
    if (sizeAfter > 0) // a file's store
        std::printf("store growth: %.0f bytes a report (%lld reports, store %lld -> %lld bytes)\n", growth, run.done,
                    sizeBefore, sizeAfter);

    figures = {run.rate(), p99, listTimes[listTimes.size() / 2], rss};
    stop(server);
    return true;
}

bool met(const Figures& f)
{
    return f.p99 < 5 && f.list < 50 && f.rss <= 65536;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as it comes, also into a file
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        std::printf("CPUs this benchmark may run on: %d (of %ld online)\n", CPU_COUNT(&allowed),
                    sysconf(_SC_NPROCESSORS_ONLN));

    // The floor first, with the same load generator: the server at its best could only match it.
    std::printf("== do-nothing server (slot byte, record, command byte; nothing stored)\n");
    int floorPort = 0;
    const pid_t floorServer = startDoNothing(floorPort);
    if (floorServer == 0) return std::fprintf(stderr, "the do-nothing server did not start\n"), 2;
    const Sustained floor = sustainedRun(floorPort, floorServer, 8, seconds, Records(20));
    stop(floorServer);
    std::printf("exchanges a second, 8 clients: %.0f (%lld failed)\n", floor.rate(), floor.failed);
    printCpu(floor);
    if (floor.done == 0) return 2;

    char scratch[] = "/tmp/pelmora-server-bench-XXXXXX";
    if (!mkdtemp(scratch)) return 2;
    const auto removeScratch = [&] {
        [[maybe_unused]] const int removed = std::system((std::string("rm -rf ") + scratch).c_str());
    };

    std::printf("== SQLite store\n");
    Figures sqlite, postgres;
    if (!measure(std::string(scratch) + "/bench.db", scratch, seconds, floor.rate(), sqlite))
        return removeScratch(), 2;
    bool pass = sqlite.rate >= 0.8 * floor.rate() && met(sqlite);

    std::printf("== PostgreSQL store\n");
    Cluster cluster;
    std::string why;
    const std::string uri = cluster.start(why);
    if (uri.empty()) {
        std::printf("skipped: %s\n", why.c_str());
    } else if (!measure(uri, scratch, seconds, floor.rate(), postgres)) {
        removeScratch();
        return 2;
    } else {
        std::printf("exchanges a second against SQLite's: %.2f  target >= 0.5\n", postgres.rate / sqlite.rate);
        pass = pass && postgres.rate >= sqlite.rate / 2 && met(postgres);
    }
    removeScratch();
    std::printf("%s\n", pass ? "PASS" : "MISS");
    return pass ? 0 : 1;
}
