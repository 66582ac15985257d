#include "platform/desktop.h"

#include <poll.h>

#include <cerrno>
#include <iostream>

#include "platform/desktop_internal.h"

namespace platform {

namespace detail {

LResult CallWindowProcSafely(const WindowProc& proc, Hwnd window, MsgId msg, WParam wParam,
                             LParam lParam) {
  try {
    return proc(window, msg, wParam, lParam);
  } catch (const std::exception& e) {
    std::cerr << "window procedure failed: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "window procedure failed\n";
  }
  return 0;
}

}  // namespace detail

bool WaitAndProcess(Desktop& desktop, int timeoutMs) {
  const int fd = desktop.EventHandle();
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n > 0) desktop.ProcessPending();
  return true;
}

}  // namespace platform
