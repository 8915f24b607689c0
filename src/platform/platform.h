#pragma once
// The operating-system services the core needs. Each platform folder
// (posix/, win32/) implements what is declared here; the core includes no
// OS header of its own.
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
