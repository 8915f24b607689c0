#pragma once
#include <cstddef>
// Status reports to the team monitor server, and the commands it answers with.

constexpr int kMonitorServerPort = 25876;
constexpr int kReportBytes = 768;

// Connects, takes a slot, sends the status record, obeys the command byte.
void sendStatusReport();
// Sends the last record, with shuttingDown set; reads no command.
void sendExitReport();
// Formats the status record from the state into the report buffer; whatever
// lies past its terminator is left as it was.
void formatStatusReport();

// Whether a service name may be handed to the command interpreter: none of
// the characters it acts on. (Whether the name fits the command line is
// checked when the line is made.)
bool serviceNameAllowed(const char* name);

// How a service restart is carried out: the command interpreter and a plain
// wait. Tests put their own in place (nullptr: the platform's).
struct ServiceControl {
    void (*run)(const char* commandLine);
    void (*pause)(unsigned milliseconds);
};
void useServiceControl(const ServiceControl* control);
