#include "support/test_platform.h"

namespace pelmora {

namespace {
PlatformServices services = systemServices();
time_t pinned = 0;

time_t pinnedNow() { return pinned; }
} // namespace

PlatformServices& testPlatform()
{
    usePlatformServices(&services);
    return services;
}

void resetTestPlatform()
{
    services = systemServices();
    usePlatformServices(nullptr);
}

void pinClock(time_t value)
{
    pinned = value;
    testPlatform().now = pinnedNow;
}

} // namespace pelmora
