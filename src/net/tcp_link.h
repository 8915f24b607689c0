#pragma once
#include "state/monitor_state.h"

namespace pelmora {

// A thin layer over one blocking TCP client connection. Every operation
// reports an error number, 0 for success; an error sticks until the next open.

constexpr int kLinkInvalidArgument = 10022; // count or buffer not usable
constexpr int kLinkNotConnected = 10057;    // the link has no socket


// The user clears the link, sets host and port, then opens it. On failure
// the link is already closed.
int linkOpen(SocketLink* link);
int linkSendAll(SocketLink* link, int count, const char* data);
// One receive of at most capacity bytes; received is 0 when the peer closed.
int linkReceive(SocketLink* link, int capacity, char* buffer);
void linkClose(SocketLink* link);

} // namespace pelmora
