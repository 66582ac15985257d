#include <poll.h>

#include <cerrno>

#include "platform/event_wait.h"
#include "platform/os_error.h"

namespace platform {

void WaitForDesktopOrSocket(Desktop& desktop, SocketId socket, int timeoutMs) {
  pollfd fds[2] = {{desktop.EventHandle(), POLLIN, 0}, {socket, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) < 0) {
    if (errno == EINTR) return;
    ThrowOsError("Cannot wait for the desktop and the network", errno);
  }
  if (fds[0].revents) desktop.ProcessPending();
}

}  // namespace platform
