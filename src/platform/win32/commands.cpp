// The command interpreter, services through NET STOP / NET START, and sleeping.
#include "platform/platform.h"

#include <cstdlib>
#include <windows.h>

void runCommand(const char* commandLine) { std::system(commandLine); }

void formatServiceCommand(char* buffer, size_t size, bool start, const char* service)
{
    std::snprintf(buffer, size, start ? "NET START %s" : "NET STOP %s", service);
}

void sleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }
