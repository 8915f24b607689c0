// Machine facts on Windows: the registry, CPUID and the memory status.
#include "platform/system.h"

#include <cpuid.h>
#include <cstring>
#include <windows.h>

namespace pelmora {

namespace {
constexpr const char* kComputerNameKey = "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
constexpr const char* kProcessorKey = "HARDWARE\\DESCRIPTION\\SYSTEM\\CentralProcessor\\0";

bool queryText(HKEY key, const char* value, char* buffer, size_t size)
{
    DWORD kind = 0;
    DWORD offered = static_cast<DWORD>(size);
    return RegQueryValueExA(key, value, nullptr, &kind, reinterpret_cast<BYTE*>(buffer), &offered) ==
           ERROR_SUCCESS;
}

bool computerName(char* buffer, size_t size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kComputerNameKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char text[64] = {};
    bool read = size <= sizeof text && queryText(key, "ComputerName", text, size);
    RegCloseKey(key);
    if (read) std::memcpy(buffer, text, size);
    return read;
}

// Whether the processor offers CPUID at all: whether bit 21 of EFLAGS, the
// ID flag, can be flipped. (The highest leaf that CPUID reports says nothing
// here: a processor whose highest leaf is 0 still has leaf 0.)
bool hasCpuid()
{
#if defined(__x86_64__)
    return true; // every x86-64 processor has it
#else
    unsigned flipped = 0, original = 0;
    __asm__ volatile("pushfl\n\t"          // keep EFLAGS as it was
                     "pushfl\n\t"
                     "popl %0\n\t"
                     "movl %0, %1\n\t"
                     "xorl $0x200000, %0\n\t"
                     "pushl %0\n\t"
                     "popfl\n\t"           // try the flipped ID flag
                     "pushfl\n\t"
                     "popl %0\n\t"         // and read back what stuck
                     "popfl"
                     : "=&r"(flipped), "=&r"(original)
                     :
                     : "cc");
    return ((flipped ^ original) & 0x200000) != 0;
#endif
}

void cpuidVendor(char vendor[12])
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
}

bool processor(unsigned* mhz, char* name, size_t size)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProcessorKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD kind = 0;
    DWORD value = 0;
    DWORD offered = sizeof value;
    if (RegQueryValueExA(key, "~MHz", nullptr, &kind, reinterpret_cast<BYTE*>(&value), &offered) == ERROR_SUCCESS)
        *mhz = value;
    char text[64] = {};
    if (size <= sizeof text && queryText(key, "ProcessorNameString", text, size)) std::memcpy(name, text, size);
    RegCloseKey(key);
    return true;
}

unsigned long long totalMemory()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPhys;
}

const MachineFactSources kWindowsSources = {computerName, hasCpuid, cpuidVendor, processor, totalMemory};
} // namespace

const MachineFactSources& systemMachineFacts() { return kWindowsSources; }

} // namespace pelmora
