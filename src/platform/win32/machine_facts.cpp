// Machine facts on Windows: the registry, CPUID and the memory status.
#include "platform/platform.h"

#include <cpuid.h>
#include <cstring>
#include <windows.h>

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

bool hasCpuid()
{
#if defined(__x86_64__)
    return true;
#else
    return __get_cpuid_max(0, nullptr) != 0; // tries to flip the ID flag first
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

const MachineFactSources& platformMachineFacts() { return kWindowsSources; }
