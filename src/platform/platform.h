#pragma once
// The operating-system services the core needs. Each platform folder
// (posix/, win32/) implements what is declared here; the core includes no
// OS header of its own.
#include <cstddef>
#include <cstdio>
#include <ctime>

namespace pelmora {

// Opens a text file for reading, with CR LF read as one newline on every
// platform (Windows' text mode does this; elsewhere the reader strips the CR).
// Returns nullptr when the file cannot be opened or is a directory.
FILE* openTextFile(const char* path);

// Where the machine facts come from. Each source fills its output only on
// success.
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

// Formats the command that stops (start false) or starts the named service;
// false, and nothing to run, when the whole line does not fit in size bytes.
bool formatServiceCommand(char* buffer, size_t size, bool start, const char* service);

// The services the program takes from the operating system, in one set that
// tests replace as a whole or in part.
struct PlatformServices {
    // The calendar clock in seconds.
    time_t (*now)();
    MachineFactSources machineFacts;

    // Runs a command line through the command interpreter and waits for it.
    void (*runCommand)(const char* commandLine);
    void (*sleepMilliseconds)(unsigned milliseconds);

    // TCP for the monitor-server link. Error numbers are the platform's own
    // (Winsock's on Windows, errno values elsewhere). Connecting gives up
    // after kTcpConnectTimeoutMs, each send and receive after
    // kTcpTransferTimeoutMs; a time-out is a failed call with the time-out
    // error number. Hosts are dotted IPv4 text, converted without any name
    // lookup.
    long long (*socketOpenTcp)();
    int (*socketLastError)();
    int (*socketsStart)(); // 0 on success, else the error number
    void (*socketsStop)();
    int (*socketConnect)(long long socket, const char* host, int port); // 0 or -1
    int (*socketSend)(long long socket, const char* data, int count);   // bytes sent or -1
    int (*socketReceive)(long long socket, char* buffer, int capacity); // bytes received or -1
    void (*socketClose)(long long socket);
    // HTTP GET of url, its body written to fileName (never null here). 0
    // when the whole body was written, 404 when the server answered 404 (no
    // file is opened), -2 when the file cannot be opened for writing, -1
    // when the HTTP facility cannot be set up and gives no error number,
    // else the platform's error number of the step that failed. Connecting
    // gives up after kHttpConnectTimeoutMs, the whole request after
    // kHttpRequestTimeoutMs; a body past kMaxBodyBytes ends the download as a
    // failure, keeping what was written.
    int (*httpGet)(const char* url, const char* fileName);

    // Puts the file from in the place of the file to, in one step, so a
    // reader sees the old file or the new one, never a part. False when it
    // could not (on Windows, for one, while another program holds to open).
    bool (*replaceFile)(const char* from, const char* to);

    // The bridge's TCP: host is IPv4 or IPv6 text or a name to look up; the
    // first of its addresses that takes the connection, with the time-outs
    // above. The connected socket, or kInvalidSocket with socketLastError
    // set (kHostNotFound: the name has no address).
    long long (*socketConnectHost)(const char* host, int port);
    // A socket error number in words ("Connection refused"), as the system
    // says it, within size bytes.
    void (*socketErrorText)(int error, char* buffer, size_t size);
};

constexpr long long kInvalidSocket = -1;
// The error that says a host name has no address (not a system number).
constexpr int kHostNotFound = -2;
// The error that says the sockets library has not been started (Windows).
constexpr int kSocketsNotStarted = 10093;

// The set in use: the operating system's own unless a test put its own in place.
const PlatformServices& platform();
const PlatformServices& systemServices();
void usePlatformServices(const PlatformServices* services); // nullptr: the system's own

} // namespace pelmora
