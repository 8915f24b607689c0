// Machine facts: what the start-up takes from each source, with sources of
// our own; and, on x86 Linux, that the CPUID vendor is read in its order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/machine_facts.h"
#include "state/monitor_state.h"
#include "support/client_dir.h"
#include "support/test_platform.h"

#if defined(__linux__)
#include <fstream>
#endif

namespace pelmora {

namespace {

// What the substitute sources answer; each case changes some of it.
struct Answers {
    bool nameKnown = true;
    std::string computerName = "FOLDER-7";
    bool cpuid = true;
    bool processorKnown = true;
    bool mhzKnown = true;
    unsigned mhz = 2400;
    std::string cpuName = "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz";
    unsigned long long memory = 3ull << 30;
};
Answers answers;

const MachineFactSources kSubstitutes = {
    [](char* buffer, size_t size) {
        if (answers.nameKnown) std::snprintf(buffer, size, "%s", answers.computerName.c_str());
        return answers.nameKnown;
    },
    [] { return answers.cpuid; },
    [](char vendor[12]) { std::memcpy(vendor, "GenuineIntel", 12); },
    [](unsigned* mhz, char* name, size_t size) {
        if (!answers.processorKnown) return false;
        if (answers.mhzKnown) *mhz = answers.mhz;
        std::snprintf(name, size, "%s", answers.cpuName.c_str());
        return true;
    },
    [] { return answers.memory; },
};

// Every field starts as "before" (1.5 MHz, 7 bytes), so what a source did
// not give shows.
TEST(MachineFacts, WhatEachSourceGives)
{
    const struct {
        const char* what;
        void (*change)(Answers&);
        const char* name;
        std::string vendor;
        std::string cpuName;
        float mhz;
        unsigned long long memory;
    } cases[] = {
        {"every source answers", [](Answers&) {}, "FOLDER-7", std::string("GenuineIntel\0\0\0\0", 16),
         "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", 2400.0f, 3ull << 30},
        {"no CPUID: only the name", [](Answers& a) { a.cpuid = false; }, "FOLDER-7",
         std::string("before\0\0\0\0\0\0\0\0\0\0", 16), "before", 1.5f, 7},
        {"MHz unknown", [](Answers& a) { a.mhzKnown = false; }, "FOLDER-7", std::string("GenuineIntel\0\0\0\0", 16),
         "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", 0.0f, 3ull << 30},
        {"no processor description", [](Answers& a) { a.processorKnown = false; }, "FOLDER-7",
         std::string("GenuineIntel\0\0\0\0", 16), "before", 0.0f, 3ull << 30},
        {"49-character processor name, 96 GiB",
         [](Answers& a) { a.cpuName = std::string(49, 'n'), a.memory = 96ull << 30; }, "FOLDER-7",
         std::string("GenuineIntel\0\0\0\0", 16), std::string(49, 'n'), 2400.0f, 96ull << 30},
        {"name unknown", [](Answers& a) { a.nameKnown = false; }, "before", std::string("GenuineIntel\0\0\0\0", 16),
         "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", 2400.0f, 3ull << 30},
        {"60-character name cut to 49", [](Answers& a) { a.computerName = std::string(60, 'h'); },
         "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh", std::string("GenuineIntel\0\0\0\0", 16),
         "Intel(R) Core(TM)2 Duo CPU     E8400  @ 3.00GHz", 2400.0f, 3ull << 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ClientDir dir;
        answers = Answers{};
        c.change(answers);
        testPlatform().machineFacts = kSubstitutes;
        for (char* field : {state.computerName, state.cpuVendor, state.cpuName}) std::strcpy(field, "before");
        state.cpuMhz = 1.5f;
        state.totalPhysBytes = 7;
        readComputerName();
        readProcessorFacts();
        EXPECT_STREQ(state.computerName, c.name);
        EXPECT_EQ(std::string(state.cpuVendor, sizeof state.cpuVendor), c.vendor);
        EXPECT_EQ(std::string(state.cpuName), c.cpuName);
        EXPECT_EQ(state.cpuMhz, c.mhz);
        EXPECT_EQ(state.totalPhysBytes, c.memory);
    }
}

#if defined(__linux__) && (defined(__i386__) || defined(__x86_64__))
// The vendor text is EBX, EDX, ECX of leaf 0, in that order, as the kernel shows it.
TEST(LinuxMachineFacts, CpuidVendorAsTheKernelShowsIt)
{
    ClientDir dir;
    std::ifstream in("/proc/cpuinfo");
    std::string vendor;
    for (std::string line; vendor.empty() && std::getline(in, line);)
        if (line.rfind("vendor_id", 0) == 0) vendor = line.substr(line.find(':') + 2);
    readProcessorFacts();
    EXPECT_EQ(std::string(state.cpuVendor), vendor);
}
#endif

} // namespace

} // namespace pelmora
