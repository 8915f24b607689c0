// The long run in short: 10,000 poll cycles on a moved clock, with a new
// unit every ten cycles (log group, project lookup, submission to a loopback
// stats site) and a report to a loopback monitor server in every cycle.
// The heap in use and the resident memory after the whole run must be those
// after the first 100 cycles.
//
//   pelmora-soak [CYCLES [TOOLS-DIR]]
//
// The monitor server listens on the program's fixed port, 25876: run as root,
// the run has a network of its own; otherwise do not run it beside the
// whole-program tests. Exit status 0 when nothing grew, 1
// when something did, 2 when the run could not be made.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/dialog.h"
#include "state/monitor_state.h"
#include "platform/platform.h"
#include "support/client_dir.h"
#include "support/test_platform.h"

using namespace pelmora;

extern char** environ;

namespace {
constexpr int kMeasuredAfter = 100;
constexpr int kUnitEvery = 10;
constexpr int kPeriodSeconds = 5;

struct Memory {
    size_t heapInUse;
    size_t resident;
};

Memory measure()
{
    Memory memory = {mallinfo2().uordblks, 0};
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long size = 0, resident = 0;
        if (std::fscanf(statm, "%lu %lu", &size, &resident) == 2)
            memory.resident = resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
        std::fclose(statm);
    }
    return memory;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "pelmora-soak: %s\n", what);
    std::exit(2);
}

// A loopback peer from the tools, its output going to a file.
struct Peer {
    pid_t pid = -1;
    std::string output;

    void start(const std::string& program, const char* port, const std::string& outputFile)
    {
        output = outputFile;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-p"),
                              const_cast<char*>(port), nullptr};
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) fail("cannot start a peer");
        posix_spawn_file_actions_destroy(&actions);
    }

    // The port from the peer's first line, once it listens.
    int waitListening() const
    {
        for (int i = 0; i < 500; ++i) {
            if (FILE* file = std::fopen(output.c_str(), "r")) {
                int port = 0;
                const int got = std::fscanf(file, "listening on 127.0.0.1:%d", &port);
                std::fclose(file);
                if (got == 1) return port;
            }
            if (waitpid(pid, nullptr, WNOHANG) == pid) fail("a peer ended at start (is port 25876 taken?)");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        fail("a peer does not listen");
    }

    // How many lines it printed beginning with prefix.
    int lines(const char* prefix) const
    {
        int count = 0;
        if (FILE* file = std::fopen(output.c_str(), "r")) {
            char line[2048];
            while (std::fgets(line, sizeof line, file))
                if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) ++count;
            std::fclose(file);
        }
        return count;
    }

    void stop()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// With the right to, the run takes a network of its own (only a loopback,
// brought up here), so the fixed port is not shared with tests or other runs.
bool ownNetwork()
{
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request = {};
    std::strcpy(request.ifr_name, "lo");
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) close(fd);
    if (!up) fail("cannot bring up the loopback of the run's own network");
    return true;
}

std::string unitName(int unit)
{
    static const int projects[] = {794, 943, 971, 992, 1130};
    char name[64];
    std::snprintf(name, sizeof name, "p%d_R%d_C%02d_G%05d", projects[unit % 5], unit % 7, unit % 50, unit % 100000);
    return name;
}

void printMemory(const char* when, const Memory& memory)
{
    std::printf("%-22s heap in use %8zu B   resident %8zu B\n", when, memory.heapInUse, memory.resident);
}
} // namespace

int main(int argc, char** argv)
{
    // Freed blocks that malloc keeps in its per-thread cache still count as
    // in use, so the first time a block size is freed looks like growth.
    // The run is made without that cache: what is counted is what is held.
    if (!std::getenv("GLIBC_TUNABLES")) {
        setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
        execv("/proc/self/exe", argv);
        fail("cannot restart without the malloc cache");
    }
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::string tools = argc > 2 ? argv[2] : PELMORA_TOOLS_DIR;
    if (cycles < kMeasuredAfter) fail("at least 100 cycles");
    std::signal(SIGPIPE, SIG_IGN);

    const bool ownNet = ownNetwork();
    ClientDir client;
    Peer monitor, site;
    const std::string monitorPort = std::to_string(protocol::kPort); // the monitor's fixed one
    monitor.start(tools + "/fake-monitor-server", monitorPort.c_str(), "../../monitor-server.out");
    site.start(tools + "/fake-stats-site", "0", "../../stats-site.out");
    monitor.waitListening();
    const int sitePort = site.waitListening();

    client.write("pelmora.ini", "cpunum 2\nfhlog 1\nstats 1\nipadd 127.0.0.1\nkorv! 1\nkhost 127.0.0.1:" +
                                    std::to_string(sitePort) + "\n");
    client.write("../client.cfg", "[settings]\nusername=FoldingFan\nteam=48213\nmachineid=2\n");
    client.write("database.txt", "794 srv36.fold 17955 12.26 18.51 1448.74 50 GroCVS\n"
                                 "943 srv12.fold 14007 11.15 16.78 203.83 100 ProtoMol\n"
                                 "971 srv14.fold 65566 20.32 31.76 2312.43 100 Amber\n"
                                 "992 srv16.fold 24062 3.56 6.03 1263.04 100 GroA3\n"
                                 "1130 srv29.fold 38240 4.61 7.37 1905.00 100 GroSMP\n");
    int unit = 0;
    client.write("../unitinfo.txt", unitFileText(unitName(unit).c_str(), 0));

    // The first line out also sets up standard output's buffer, before anything is measured.
    std::printf("pelmora-soak: %d cycles, a new unit every %d, %s\n", cycles, kUnitEvery,
                ownNet ? "in a network of its own" : "on the machine's network");
    std::fflush(stdout);
    time_t clock = 1700000000;
    pinClock(clock);
    const auto started = std::chrono::steady_clock::now();
    handleDialogEvent(DialogEvent::Initialise);
    if (state.firstPoll != 0) fail("the start-up did not finish");

    Memory first = {}, last = {};
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        pinClock(clock += kPeriodSeconds);
        if (cycle % kUnitEvery == 0) ++unit;
        client.write("../unitinfo.txt", unitFileText(unitName(unit).c_str(), cycle % kUnitEvery * 10));
        handleDialogEvent(DialogEvent::TimerTick);
        if (cycle == kMeasuredAfter) first = measure();
        if (cycle % 1000 == 0) {
            char when[32];
            std::snprintf(when, sizeof when, "after %d cycles", cycle);
            printMemory(when, measure());
        }
    }
    last = measure();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    handleDialogEvent(DialogEvent::Cancel); // the summary and the exit report, as at the end of a real run
    monitor.stop();
    site.stop();

    const int records = monitor.lines("record ");
    const int requests = site.lines("request ");
    std::printf("%d cycles in %.1f s: %d units, %d records to the monitor server, %d requests to the stats site\n",
                cycles, seconds, state.unitCount, records, requests);
    printMemory("after 100 cycles", first);
    printMemory("at the end", last);
    if (records < cycles || requests < unit) {
        std::printf("FAIL: the peers did not see every report and submission\n");
        return 2;
    }
    const bool grew = last.heapInUse > first.heapInUse || last.resident > first.resident;
    std::printf("%s\n", grew ? "FAIL: memory grew" : "PASS: no growth");
    return grew ? 1 : 0;
}
