// The command interpreter, services through systemctl, and sleeping.
#include "platform/system.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace pelmora {

void runCommand(const char* commandLine) { std::system(commandLine); }

bool formatServiceCommand(char* buffer, size_t size, bool start, const char* service)
{
    const int length = std::snprintf(buffer, size, start ? "systemctl start %s" : "systemctl stop %s", service);
    return length >= 0 && static_cast<size_t>(length) < size;
}

void sleepMilliseconds(unsigned milliseconds)
{
    timespec rest = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

} // namespace pelmora
