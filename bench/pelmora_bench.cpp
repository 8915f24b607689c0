// The costs a monitor that runs for months must keep small: the poll cycle
// beside the file-system calls it cannot avoid, the project lookup beside a
// plain fscanf loop over the same table, and the status record.
//
//   pelmora-bench [benchmark options]   the figures
//   pelmora-bench --check               the figures, then each ratio with PASS or MISS
//                                       (always exit status 0: the figures inform, they do not gate)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/dialog.h"
#include "state/monitor_state.h"
#include "net/monitor_reports.h"
#include "platform/platform.h"
#include "support/client_dir.h"
#include "support/test_platform.h"
#include "workunit/project_database.h"
#include "workunit/unit_file.h"
#include "app/dialog.h"

using namespace pelmora;

namespace {
constexpr const char* kUnitFile = "../unitinfo.txt";
constexpr const char* kDatabase = "database.txt";
constexpr int kWantedProject = 99999; // the last record of every table
constexpr const char* kWantedUnit = "p99999_R0_C3_G12";
constexpr const char* kRecordFormat = "%d %s %d %f %f %f %d %s";

ClientDir& scratch()
{
    static ClientDir client;
    return client;
}

// The state of a program some hours into a unit, in the tray.
void settle()
{
    resetMonitorState();
    pinClock(1700000000);
    scratch().write(kUnitFile, unitFileText("p2665_R_Zn_Cyc_R3", 42));
    state.cpunum = 1;
    state.quiet = 1;
    std::strcpy(state.computerName, "folder-07");
    std::strcpy(state.cpuVendor, "AuthenticAMD");
    std::strcpy(state.username, "FoldingFan");
    state.team = 48213;
    state.cpuMhz = 3200.0f;
    state.unitStart = 1700000000 - 3 * 3600;
    readUnitFile(unitChanged);
    state.firstPoll = 0;
    std::strcpy(state.core, "GroCVS");
    state.points = 1448;
    state.frames = 50;
}

// records lines, the wanted project last.
// The fastest of a benchmark's repetitions: noise on a shared machine only
// ever adds time, so the fastest runs compare the code and not the moment.
double fastest(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void writeDatabase(int records)
{
    static const char* const cores[] = {"GroCVS", "ProtoMol", "Amber", "GroA3", "GroSMP", "Tinker"};
    std::string text;
    char line[128];
    for (int i = 0; i < records; ++i) {
        const int project = i + 1 == records ? kWantedProject : 100 + i;
        std::snprintf(line, sizeof line, "%d srv%d.fold %d %.2f %.2f %.2f %d %s\n", project, 10 + i % 40,
                      10000 + (i * 7919) % 60000, 3.0 + i % 20, 6.0 + i % 30, 100.0 + (i * 37) % 2500 + 0.75,
                      i % 2 ? 100 : 50, cores[i % 6]);
        text += line;
    }
    scratch().write(kDatabase, text);
}

void BM_PollCycle(benchmark::State& run)
{
    settle();
    for (auto _ : run) pollCycle();
    if (state.unitCount != 1 || state.progress != 42) run.SkipWithError("the unit file was not read as expected");
}
BENCHMARK(BM_PollCycle)->ComputeStatistics("min", fastest);

// What the poll cycle cannot do without: open the unit file, read it, close it.
void BM_PollFloor(benchmark::State& run)
{
    settle();
    char buffer[4096];
    for (auto _ : run) {
        const int fd = ::open(kUnitFile, O_RDONLY | O_CLOEXEC);
        while (::read(fd, buffer, sizeof buffer) > 0) benchmark::DoNotOptimize(buffer);
        ::close(fd);
    }
}
BENCHMARK(BM_PollFloor)->ComputeStatistics("min", fastest);

void BM_Lookup(benchmark::State& run)
{
    settle();
    writeDatabase(static_cast<int>(run.range(0)));
    std::strcpy(state.unitName, kWantedUnit);
    for (auto _ : run) lookUpProject();
    if (state.projectNumber != kWantedProject || state.frames == 0) run.SkipWithError("no match");
}
BENCHMARK(BM_Lookup)->Arg(100)->Arg(1000)->Arg(20000)->ComputeStatistics("min", fastest);

// The same table read by the C library alone, record by record.
void BM_LookupBaseline(benchmark::State& run)
{
    settle();
    writeDatabase(static_cast<int>(run.range(0)));
    int found = 0;
    for (auto _ : run) {
        FILE* file = std::fopen(kDatabase, "r");
        while (!std::feof(file)) {
            int key, ignored, frames;
            char server[64], core[64];
            float speed, size, points;
            if (std::fscanf(file, kRecordFormat, &key, server, &ignored, &speed, &size, &points, &frames,
                            core) != 8)
                break;
            if (key == kWantedProject) {
                found = frames;
                break;
            }
        }
        std::fclose(file);
        benchmark::DoNotOptimize(found);
    }
    if (found == 0) run.SkipWithError("no match");
}
BENCHMARK(BM_LookupBaseline)->Arg(100)->Arg(1000)->Arg(20000)->ComputeStatistics("min", fastest);

void BM_StatusReport(benchmark::State& run)
{
    settle();
    for (auto _ : run) {
        formatStatusReport();
        benchmark::DoNotOptimize(state.reportBuffer);
    }
}
BENCHMARK(BM_StatusReport)->ComputeStatistics("min", fastest);

// Keeps the CPU time per iteration of every run (the fastest when repeated).
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> cpuNs;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "min") continue;
            const double ns = run.GetAdjustedCPUTime() * benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                              benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate || !cpuNs.count(name)) cpuNs[name] = ns;
        }
    }
};

int checkRatios(const std::map<std::string, double>& ns)
{
    struct Ratio {
        const char* what;
        const char* numerator;
        const char* denominator;
        double limit;
    };
    const Ratio ratios[] = {
        {"poll cycle / its floor", "BM_PollCycle", "BM_PollFloor", 3.0},
        {"lookup / fscanf, 100 records", "BM_Lookup/100", "BM_LookupBaseline/100", 1.2},
        {"lookup / fscanf, 1,000 records", "BM_Lookup/1000", "BM_LookupBaseline/1000", 1.2},
        {"lookup / fscanf, 20,000 records", "BM_Lookup/20000", "BM_LookupBaseline/20000", 1.2},
        {"lookup, 20,000 / 1,000 records", "BM_Lookup/20000", "BM_Lookup/1000", 25.0},
    };
    std::printf("\n%-34s %8s %8s  %s\n", "ratio (CPU time)", "measured", "limit", "");
    int missed = 0;
    for (const Ratio& r : ratios) {
        auto n = ns.find(r.numerator), d = ns.find(r.denominator);
        if (n == ns.end() || d == ns.end() || d->second <= 0) {
            std::printf("%-34s %8s %8.2f  MISS (not measured)\n", r.what, "-", r.limit);
            ++missed;
            continue;
        }
        const double value = n->second / d->second;
        const bool pass = value <= r.limit;
        missed += pass ? 0 : 1;
        std::printf("%-34s %8.2f %8.2f  %s\n", r.what, value, r.limit, pass ? "PASS" : "MISS");
    }
    std::printf("%s\n", missed == 0 ? "all ratios PASS" : "some ratios MISS");
    return missed;
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    bool check = false;
    for (auto it = args.begin() + 1; it != args.end();)
        if (std::strcmp(*it, "--check") == 0) {
            check = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    // A check takes the fastest of nine runs of each, the runs of all the
    // benchmarks shuffled together, so a noisy stretch on a shared machine
    // falls on both sides of a ratio and does not decide it.
    static char repetitions[] = "--benchmark_repetitions=9";
    static char interleaved[] = "--benchmark_enable_random_interleaving=true";
    static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    if (check) {
        args.insert(args.begin() + 1, aggregatesOnly);
        args.insert(args.begin() + 1, interleaved);
        args.insert(args.begin() + 1, repetitions);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    scratch();
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    if (check) checkRatios(collector.cpuNs);
    return 0;
}
