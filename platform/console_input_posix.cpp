#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console_input.h"
#include "platform/os_error.h"

namespace platform {

bool ConsoleInput::Wait(Desktop& desktop, int timeoutMs) {
  pollfd fds[2] = {{desktop.EventHandle(), POLLIN, 0}, {ended_ ? -1 : handle_, POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) < 0) {
    if (errno == EINTR) return false;
    ThrowOsError("Cannot wait for input", errno);
  }
  if (fds[0].revents) desktop.ProcessPending();
  // A closed or invalid handle reads as the end of the input, instead of waking every wait.
  return !ended_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::size_t ConsoleInput::Read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(handle_, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return 0;  // an input that cannot be read has ended for us
  }
}

}  // namespace platform
