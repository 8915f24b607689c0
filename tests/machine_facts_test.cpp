// Machine facts: what the start-up takes from each source, with sources of
// our own; and, on Linux, that the program's own sources read this machine
// the way the system describes it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/monitor_state.h"
#include "config/machine_facts.h"
#include "platform/platform.h"
#include "support/client_dir.h"
#include "support/test_platform.h"

#if defined(__linux__)
#include <fstream>
#include <sys/sysinfo.h>
#include <unistd.h>
#endif

namespace {

// What the substitute sources answer; each case sets it.
struct Answers {
    bool nameKnown = true;
    std::string computerName = "FOLDER-7";
    bool cpuid = true;
    const char* vendor = "GenuineIntel";
    bool processorKnown = true;
    bool mhzKnown = true;
    unsigned mhz = 2400;
    std::string cpuName = "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz";
    unsigned long long memory = 3ull << 30;
};
Answers answers;

const MachineFactSources kSubstitutes = {
    [](char* buffer, size_t size) {
        if (!answers.nameKnown) return false;
        std::snprintf(buffer, size, "%s", answers.computerName.c_str());
        return true;
    },
    [] { return answers.cpuid; },
    [](char vendor[12]) { std::memcpy(vendor, answers.vendor, 12); },
    [](unsigned* mhz, char* name, size_t size) {
        if (!answers.processorKnown) return false;
        if (answers.mhzKnown) *mhz = answers.mhz;
        std::snprintf(name, size, "%s", answers.cpuName.c_str());
        return true;
    },
    [] { return answers.memory; },
};

class MachineFacts : public testing::Test {
protected:
    void SetUp() override
    {
        answers = Answers{};
        testPlatform().machineFacts = kSubstitutes;
    }
    ClientDir dir;
};

TEST_F(MachineFacts, EverySourceAnswers)
{
    readComputerName();
    readProcessorFacts();
    EXPECT_STREQ(state.computerName, "FOLDER-7");
    EXPECT_EQ(std::string(state.cpuVendor, sizeof state.cpuVendor), std::string("GenuineIntel\0\0\0\0", 16));
    EXPECT_STREQ(state.cpuName, "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz");
    EXPECT_EQ(state.cpuMhz, 2400.0f);
    EXPECT_EQ(state.totalPhysBytes, 3221225472u);
}

// Without CPUID the processor and memory are not asked at all; the
// computer's name still is.
TEST_F(MachineFacts, NoCpuidChangesNothingButTheName)
{
    answers.cpuid = false;
    std::strcpy(state.cpuVendor, "before");
    std::strcpy(state.cpuName, "before");
    state.cpuMhz = 1.5f;
    state.totalPhysBytes = 7;
    readComputerName();
    readProcessorFacts();
    EXPECT_STREQ(state.computerName, "FOLDER-7");
    EXPECT_STREQ(state.cpuVendor, "before");
    EXPECT_STREQ(state.cpuName, "before");
    EXPECT_EQ(state.cpuMhz, 1.5f);
    EXPECT_EQ(state.totalPhysBytes, 7u);
}

TEST_F(MachineFacts, PartialAnswers)
{
    const struct {
        const char* what;
        bool processorKnown, mhzKnown;
        unsigned mhz;
        std::string name;
        unsigned long long memory;
        float expectedMhz;
        std::string expectedName;
    } cases[] = {
        {"MHz unknown", true, false, 0, "AMD EPYC", 16ull << 30, 0.0f, "AMD EPYC"},
        {"800 MHz", true, true, 800, "AMD EPYC", 16ull << 30, 800.0f, "AMD EPYC"},
        {"49-character name whole", true, true, 3000, std::string(49, 'n'), 16ull << 30, 3000.0f,
         std::string(49, 'n')},
        {"no processor description", false, true, 3000, "AMD EPYC", 16ull << 30, 0.0f, ""},
        {"beyond 32 bits of memory", true, true, 3000, "AMD EPYC", 96ull << 30, 3000.0f, "AMD EPYC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetMonitorState();
        answers.processorKnown = c.processorKnown;
        answers.mhzKnown = c.mhzKnown;
        answers.mhz = c.mhz;
        answers.cpuName = c.name;
        answers.memory = c.memory;
        readProcessorFacts();
        EXPECT_EQ(state.cpuMhz, c.expectedMhz);
        EXPECT_EQ(std::string(state.cpuName), c.expectedName);
        EXPECT_EQ(state.totalPhysBytes, c.memory); // whole MiB sent: 16384, 98304
        EXPECT_STREQ(state.cpuVendor, "GenuineIntel");
    }
}

TEST_F(MachineFacts, ComputerNameUnknownOrLong)
{
    answers.nameKnown = false;
    std::strcpy(state.computerName, "kept");
    readComputerName();
    EXPECT_STREQ(state.computerName, "kept");

    answers.nameKnown = true;
    answers.computerName = std::string(60, 'h');
    readComputerName();
    EXPECT_EQ(std::string(state.computerName), std::string(49, 'h'));
}

#if defined(__linux__)
// The value of the first "key : value" line of /proc/cpuinfo, or "".
std::string cpuinfo(const std::string& key)
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? "" : line.substr(start);
    }
    return "";
}

// The Linux sources against what the system itself says of this machine.
TEST(LinuxMachineFacts, ThisMachine)
{
    ClientDir dir;
    readComputerName();
    readProcessorFacts();

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::string(state.computerName), std::string(host).substr(0, 49));

#if defined(__i386__) || defined(__x86_64__)
    EXPECT_EQ(std::string(state.cpuVendor), cpuinfo("vendor_id")); // EBX, EDX, ECX in that order
    const std::string model = cpuinfo("model name");
    EXPECT_EQ(std::string(state.cpuName), model.size() < 50 ? model : "");

    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    EXPECT_EQ(state.totalPhysBytes, static_cast<uint64_t>(info.totalram) * info.mem_unit);
#else
    EXPECT_STREQ(state.cpuVendor, ""); // no CPUID: the processor facts stay empty
    EXPECT_EQ(state.totalPhysBytes, 0u);
#endif
}
#endif

} // namespace
