// Machine facts on Linux: the host name, CPUID where the processor has it,
// /proc/cpuinfo and cpufreq for the processor, sysinfo for the memory.
#include "platform/system.h"

#include <cstdlib>
#include <cstring>
#include <sys/sysinfo.h>
#include <unistd.h>
#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace pelmora {

namespace {
bool hostName(char* buffer, size_t size)
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || size == 0) return false;
    std::snprintf(buffer, size, "%s", name); // cut to fit
    return true;
}

bool hasCpuid()
{
#if defined(__x86_64__)
    return true;
#elif defined(__i386__)
    return __get_cpuid_max(0, nullptr) != 0; // tries to flip the ID flag first
#else
    return false;
#endif
}

void cpuidVendor(char vendor[12])
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
#if defined(__i386__) || defined(__x86_64__)
    __cpuid(0, eax, ebx, ecx, edx);
#endif
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
}

// The value after "key<blanks>:" on the first line of /proc/cpuinfo naming it.
bool cpuinfoValue(const char* key, char* value, size_t size)
{
    FILE* file = std::fopen("/proc/cpuinfo", "r");
    if (!file) return false;
    char line[512];
    bool found = false;
    const size_t keyLength = std::strlen(key);
    while (!found && std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, keyLength) != 0) continue;
        const char* colon = std::strchr(line + keyLength, ':');
        if (!colon) continue;
        const char* start = colon + 1;
        while (*start == ' ' || *start == '\t') ++start;
        size_t length = std::strcspn(start, "\n");
        if (length >= size) length = size - 1;
        std::memcpy(value, start, length);
        value[length] = '\0';
        found = true;
    }
    std::fclose(file);
    return found;
}

// The processor's highest clock, else the clock it runs at now.
bool processorMhz(unsigned* mhz)
{
    if (FILE* file = std::fopen("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "r")) {
        unsigned long khz = 0;
        bool read = std::fscanf(file, "%lu", &khz) == 1 && khz > 0;
        std::fclose(file);
        if (read) {
            *mhz = static_cast<unsigned>(khz / 1000);
            return true;
        }
    }
    char text[64];
    if (!cpuinfoValue("cpu MHz", text, sizeof text)) return false;
    *mhz = static_cast<unsigned>(std::strtod(text, nullptr));
    return true;
}

bool processor(unsigned* mhz, char* name, size_t size)
{
    processorMhz(mhz);
    char text[256];
    if (cpuinfoValue("model name", text, sizeof text) && std::strlen(text) < size)
        std::strcpy(name, text);
    return true;
}

unsigned long long totalMemory()
{
    struct sysinfo info;
    if (sysinfo(&info) != 0) return 0;
    return static_cast<unsigned long long>(info.totalram) * info.mem_unit;
}

const MachineFactSources kLinuxSources = {hostName, hasCpuid, cpuidVendor, processor, totalMemory};
} // namespace

const MachineFactSources& systemMachineFacts() { return kLinuxSources; }

} // namespace pelmora
