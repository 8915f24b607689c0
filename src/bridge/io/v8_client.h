#pragma once
// The version 8 connection: the client's WebSocket API through Boost.Beast.
#include "bridge/follower.h"

namespace pelmora::bridge {

// One connection: reads states until it ends (see V8Connection).
Link runV8(Follower& follower, bool& unitWritten);

} // namespace pelmora::bridge
