#pragma once
// The platform services as the tests see them: the system's own, with the
// clock pinnable and any member replaceable until the next reset (ClientDir
// resets it when it starts and ends).
#include <ctime>

#include "platform/platform.h"

namespace pelmora {

PlatformServices& testPlatform();
void resetTestPlatform();
void pinClock(time_t value);

} // namespace pelmora
