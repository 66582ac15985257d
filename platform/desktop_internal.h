#pragma once

#include "platform/desktop.h"

namespace platform::detail {

// Runs a window procedure; whatever it throws is reported on stderr and the message answered 0,
// so that an escaping error never unwinds through a desktop's delivery loop.
LResult CallWindowProcSafely(const WindowProc& proc, Hwnd window, MsgId msg, WParam wParam,
                             LParam lParam);

}  // namespace platform::detail
