// simulated-fleet: many monitors reporting to a pelmora-server, for the
// dashboard's tests and its benchmark. Each machine (PREFIX00001, ...) makes
// the monitor's real exchange once a period, the machines spread evenly over
// the period; its progress moves on by 1 every STEP reports (after 100 a new
// unit begins at 0), except the first K machines, which keep theirs. Command
// bytes are taken and otherwise ignored. SIGTERM or SIGINT end it.
//
//   simulated-fleet [--port P] [--machines N] [--period SECONDS] [--prefix NAME]
//                   [--stall K] [--once] [--start-progress PERCENT] [--cpu N]
//                   [--unit-prefix TEXT] [--core-prefix TEXT] [--reports-per-step STEP]
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/monitor_exchange.h"
using namespace pelmora;

namespace {
using Clock = std::chrono::steady_clock;
std::atomic<bool> stopping{false};

struct Fleet {
    int port = pelmora::protocol::kPort;
    int machines = 10;
    double period = 5;
    std::string prefix = "SIMPC";
    int stall = 0;
    bool once = false;
    int startProgress = 0;
    int cpu = 1;
    std::string unitPrefix;
    std::string corePrefix;
    int reportsPerStep = 1;
};

// The record of machine (0-based) on its round-th report.
std::string record(const Fleet& f, int slot, int machine, long long round)
{
    const long long step = f.startProgress + (machine < f.stall ? 0 : round / f.reportsPerStep);
    char number[16], unit[40], user[16];
    std::snprintf(number, sizeof number, "%05d", machine + 1);
    std::snprintf(unit, sizeof unit, "p%d_R%lld_C0_G0", 1000 + machine % 50, step / 101);
    std::snprintf(user, sizeof user, "user%02d", machine % 20);
    MonitorRecordFields r;
    r.computerName = f.prefix + number;
    r.cpu = f.cpu;
    r.unitsSeen = static_cast<int>(step / 101);
    r.progress = static_cast<int>(step % 101);
    r.unit = f.unitPrefix + unit;
    if (!f.corePrefix.empty()) r.core = f.corePrefix + number;
    r.user = user;
    r.team = 4242;
    return monitorRecordText(slot, r);
}
} // namespace

int main(int argc, char** argv)
{
    Fleet f;
    CLI::App app{"Simulated monitors reporting to a pelmora-server on 127.0.0.1"};
    app.add_option("--port", f.port, "the server's monitor port")->capture_default_str();
    app.add_option("--machines", f.machines, "how many machines")->capture_default_str()->check(CLI::Range(1, 1000000));
    app.add_option("--period", f.period, "seconds between two reports of a machine")->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--prefix", f.prefix, "computer names are PREFIX00001, ...")->capture_default_str();
    app.add_option("--stall", f.stall, "the first K machines keep their progress")->capture_default_str();
    app.add_flag("--once", f.once, "every machine reports once, then the program ends");
    app.add_option("--start-progress", f.startProgress, "the progress of the first report")->capture_default_str()
        ->check(CLI::Range(0, 100));
    app.add_option("--cpu", f.cpu, "the CPU number every machine reports")->capture_default_str();
    // Long names that differ only at their end, for the dashboard's tests.
    app.add_option("--unit-prefix", f.unitPrefix, "put in front of every unit's name")->check(CLI::Validator(
        [](std::string& s) { return s.size() <= 100 ? "" : "at most 100 characters"; }, "TEXT"));
    app.add_option("--core-prefix", f.corePrefix, "cores are TEXT00001, ... instead of GroCVS")->check(CLI::Validator(
        [](std::string& s) { return s.size() <= 100 ? "" : "at most 100 characters"; }, "TEXT"));
    app.add_option("--reports-per-step", f.reportsPerStep,
                   "reports between two steps of progress (3 at a 1-minute period: a unit in 5 hours)")
        ->capture_default_str()->check(CLI::Range(1, 1000000));
    CLI11_PARSE(app, argc, argv);
    std::signal(SIGTERM, [](int) { stopping = true; });
    std::signal(SIGINT, [](int) { stopping = true; });

    // Report i is machine i % N on its round i / N, due at i * period / N.
    const long long total = f.once ? f.machines : -1;
    const double gap = f.period / f.machines;
    std::atomic<long long> next{0}, done{0}, failed{0};
    const auto start = Clock::now();
    auto worker = [&] {
        for (long long i = next++; (total < 0 || i < total) && !stopping; i = next++) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i * gap));
            while (!stopping && Clock::now() < due)
                std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(200)));
            const int machine = static_cast<int>(i % f.machines);
            if (monitorExchange(f.port, [&](int slot) { return record(f, slot, machine, i / f.machines); }) < 0)
                ++failed;
            else
                ++done;
        }
    };
    // Enough workers that a slow exchange does not hold the schedule back.
    std::vector<std::thread> workers;
    for (int t = 0; t < std::min(f.machines, 32); ++t) workers.emplace_back(worker);
    std::printf("fleet of %d machines reporting to 127.0.0.1:%d every %g s\n", f.machines, f.port, f.period);
    std::fflush(stdout);
    for (auto& w : workers) w.join();
    std::printf("%lld reports, %lld failed\n", done.load(), failed.load());
    return failed > 0 && f.once ? 1 : 0;
}
