#pragma once

// One wait for the desktop and a network socket, for a host program that serves the desktop API
// and speaks to a network in one thread.

#include "platform/desktop.h"
#include "platform/net_host.h"

namespace platform {

// Waits at most `timeoutMs` until the desktop has messages or `socket` (when not kNoSocket) can
// be read, and handles the desktop's messages if it has any. A signal cuts the wait short.
void WaitForDesktopOrSocket(Desktop& desktop, SocketId socket, int timeoutMs);

}  // namespace platform
