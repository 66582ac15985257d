#pragma once

#include <functional>

#include "platform/desktop.h"

namespace platform::detail {

// Runs a window procedure; whatever it throws is reported on stderr and the message answered 0,
// so that an escaping error never unwinds through a desktop's delivery loop.
LResult CallWindowProcSafely(const WindowProc& proc, Hwnd window, MsgId msg, WParam wParam,
                             LParam lParam);

// For tests only: the socket desktop calls `pause` (when set) after it has made a new endpoint's
// lock file and before it locks it, the moment another process's sweep of dead endpoints could
// otherwise mistake it for a dead one. Set it before any desktop is opened; empty to clear.
void SetEndpointCreationPause(std::function<void()> pause);

}  // namespace platform::detail
