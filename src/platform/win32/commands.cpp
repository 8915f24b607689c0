// The command interpreter, services through NET STOP / NET START, and sleeping.
#include "platform/system.h"

#include <cstdlib>
#include <windows.h>

namespace pelmora {

void runCommand(const char* commandLine) { std::system(commandLine); }

bool formatServiceCommand(char* buffer, size_t size, bool start, const char* service)
{
    const int length = std::snprintf(buffer, size, start ? "NET START %s" : "NET STOP %s", service);
    return length >= 0 && static_cast<size_t>(length) < size;
}

void sleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

} // namespace pelmora
