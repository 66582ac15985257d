#pragma once

// What a long-lived connection needs to notice a dead path.

#include "platform/socket_id.h"

namespace platform {

// TCP keep-alive on a connected socket: probes after `idleSeconds` without traffic, every
// `intervalSeconds`, `count` times; and unacknowledged data is given up on after the same total
// (so that a path that takes data but never delivers it is noticed too). False when the system
// refuses an option.
bool KeepAlive(SocketId socket, int idleSeconds, int intervalSeconds, int count);

// Stops both directions of a socket at once, so that its owner's next read sees the end. For a
// connection that is alive on paper but dead in fact.
void ShutDownSocket(SocketId socket);

}  // namespace platform
