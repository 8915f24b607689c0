#pragma once
// The operating-system services the core needs. Each platform folder
// (posix/, win32/) implements what is declared here; the core includes no
// OS header of its own.
#include <cstddef>
#include <cstdio>
#include <ctime>

// The calendar clock in seconds. Tests pin it to move time at will.
time_t clockNow();
void pinClock(time_t value);
void unpinClock();

// Opens a text file for reading, with CR LF read as one newline on every
// platform (Windows' text mode does this; elsewhere the reader strips the CR).
// Returns nullptr when the file cannot be opened or is a directory.
FILE* openTextFile(const char* path);

// Where the machine facts come from. Each source fills its output only on
// success. Tests may put sources of their own in place.
struct MachineFactSources {
    // The computer's name, NUL-terminated within size bytes.
    bool (*computerName)(char* buffer, size_t size);
    // Whether the processor offers CPUID, and its leaf-0 vendor text (12 bytes).
    bool (*hasCpuid)();
    void (*cpuidVendor)(char vendor[12]);
    // The processor's description: false when none can be had at all;
    // otherwise *mhz is set when the clock is known and name filled
    // (NUL-terminated within size) when the name is.
    bool (*processor)(unsigned* mhz, char* name, size_t size);
    // Total physical memory in bytes.
    unsigned long long (*totalMemory)();
};

const MachineFactSources& platformMachineFacts();
