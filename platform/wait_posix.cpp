#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/desktop.h"
#include "platform/os_error.h"
#include "platform/wait.h"

namespace platform {

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) ThrowOsError("Cannot make a wake-up descriptor", errno);
}

Wakeup::~Wakeup() {
  ::close(fd_);
}

void Wakeup::Signal() {
  const std::uint64_t one = 1;
  // A full counter is raised already; nothing else can fail here.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Wakeup::Clear() {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
}

int WaitReadable(SocketId first, SocketId second, int timeoutMs, Desktop* desktop) {
  // poll passes over negative descriptors: kNoSocket, and no desktop.
  pollfd fds[3] = {{first, POLLIN, 0},
                   {second, POLLIN, 0},
                   {desktop != nullptr ? desktop->EventHandle() : -1, POLLIN, 0}};
  const int n = ::poll(fds, 3, timeoutMs);
  if (n < 0 && errno != EINTR) {
    ThrowOsError(desktop != nullptr ? "Cannot wait for the desktop and the network"
                                    : "Cannot wait for the network",
                 errno);
  }
  if (n <= 0) return 0;
  if (fds[2].revents != 0) desktop->ProcessPending();
  return (fds[0].revents != 0 ? 1 : 0) | (fds[1].revents != 0 ? 2 : 0);
}

}  // namespace platform
