#pragma once

// A network namespace of the benchmark's own, for peers that listen on every interface.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace benchsupport {

// A network namespace with nothing in it but loopback, brought up. Empty on success; it takes
// root.
inline std::string IsolateNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + std::strerror(errno);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                  (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
  if (fd >= 0) ::close(fd);
  return up ? "" : std::string("loopback: ") + std::strerror(errno);
}

}  // namespace benchsupport
