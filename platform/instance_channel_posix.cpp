#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/instance_channel.h"
#include "platform/location.h"
#include "platform/single_instance.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

bool AddressOf(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  return true;
}

bool WaitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, ms);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

}  // namespace

struct InstanceChannel::State {
  UniqueFd fd;
  std::string path;
  ~State() { ::unlink(path.c_str()); }
};

InstanceChannel::InstanceChannel() = default;
InstanceChannel::~InstanceChannel() = default;

std::intptr_t InstanceChannel::Handle() const {
  return state_ ? state_->fd.Get() : -1;
}

bool InstanceChannel::AskToShow(const std::string& path, int timeoutMs) {
  sockaddr_un address;
  if (!AddressOf(path, address)) return false;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return false;  // nobody listens: no copy runs, or one ended without removing its socket
  }
  if (::send(fd.Get(), "show\n", 5, MSG_NOSIGNAL) != 5) return false;
  char answer[3];
  return WaitFor(fd.Get(), POLLIN, timeoutMs) && ::recv(fd.Get(), answer, sizeof answer, 0) > 0;
}

bool InstanceChannel::Listen(const std::string& path) {
  sockaddr_un address;
  if (!AddressOf(path, address)) return false;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  ::unlink(path.c_str());  // left by a copy that ended; a live one answered AskToShow
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 8) != 0) {
    return false;
  }
  state_ = std::make_unique<State>();
  state_->fd = std::move(fd);
  state_->path = path;
  return true;
}

int InstanceChannel::TakeRequests() {
  int taken = 0;
  if (!state_) return 0;
  for (;;) {
    UniqueFd asker(::accept4(state_->fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!asker) return taken;
    // The asker wrote its line before waiting; a moment is enough for it to arrive.
    char line[16];
    if (WaitFor(asker.Get(), POLLIN, 500) && ::recv(asker.Get(), line, sizeof line, 0) > 0) {
      ::send(asker.Get(), "ok\n", 3, MSG_NOSIGNAL);
      ++taken;
    }
  }
}

std::string InstanceName(const std::string& kind, const std::string& desktop) {
  const std::string directory = RuntimeDirectory();
  if (directory.empty()) return {};
  // The desktop's path, shortened to fit a socket's name: FNV-1a.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const unsigned char c : desktop) hash = (hash ^ c) * 0x100000001b3ull;
  char digest[17];
  std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(hash));
  return directory + "/" + kind + "-" + digest;
}

}  // namespace platform
