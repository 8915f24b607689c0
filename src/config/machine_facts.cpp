#include "config/machine_facts.h"

#include <cstring>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "platform/platform.h"

namespace pelmora {

namespace {
constexpr size_t kTextOffered = 50; // bytes offered for each text value
const MachineFactSources& facts() { return platform().machineFacts; }

// Fetches a text into a scratch buffer first, so that a failed or over-long
// answer leaves the field as it was and nothing lands past it.
void readText(char* field, size_t width, bool (*source)(char*, size_t))
{
    char text[kTextOffered] = {};
    if (!source(text, sizeof text)) return;
    text[sizeof text - 1] = '\0';
    copyCut(field, width, text);
}
} // namespace

void readComputerName()
{
    readText(state.computerName, sizeof state.computerName, facts().computerName);
}

void readProcessorFacts()
{
    if (!facts().hasCpuid()) return;
    char vendor[12];
    facts().cpuidVendor(vendor);
    std::memset(state.cpuVendor, 0, sizeof state.cpuVendor);
    std::memcpy(state.cpuVendor, vendor, sizeof vendor);

    unsigned mhz = 0;
    char name[kTextOffered] = {};
    if (facts().processor(&mhz, name, sizeof name)) {
        name[sizeof name - 1] = '\0';
        std::memcpy(state.cpuName, name, sizeof name);
    }
    state.cpuMhz = static_cast<float>(mhz);
    state.totalPhysBytes = facts().totalMemory();
}

} // namespace pelmora
