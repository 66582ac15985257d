#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/os_error.h"
#include "platform/tcp.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

int ResolverErrorNumber(int rc) {
  switch (rc) {
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;
#endif
    default:  // EAI_NONAME and whatever else leaves the host unknown
      return 11001;
  }
}

// poll's time-out for what is left until the deadline: -1 without one.
int MillisecondsLeft(NetDeadline deadline) {
  if (deadline == kNoDeadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Waits until the socket is ready for `events`; an error or a hang-up counts as ready, for the
// call that follows to report.
void WaitReady(int fd, short events, NetStep step, NetDeadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (n > 0) return;
    if (n == 0) throw NetTimeout(step);
    if (errno != EINTR) throw NetError(step, errno, OsErrorText(errno));
  }
}

class PosixTcpConnection final : public TcpConnection {
 public:
  PosixTcpConnection(UniqueFd fd, NetDeadline deadline) : fd_(std::move(fd)), deadline_(deadline) {}

  void SendAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WaitReady(fd_.Get(), POLLOUT, NetStep::kSend, deadline_);
        continue;
      }
      if (n < 0) throw NetError(NetStep::kSend, errno, OsErrorText(errno));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    for (;;) {
      WaitReady(fd_.Get(), POLLIN, NetStep::kReceive, deadline_);
      const ssize_t n = ::recv(fd_.Get(), buffer, capacity, 0);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        throw NetError(NetStep::kReceive, errno, OsErrorText(errno));
      }
    }
  }

 private:
  UniqueFd fd_;
  NetDeadline deadline_;
};

// 0 once connected, else the error number; the socket is non-blocking from here on.
int ConnectBefore(int fd, const sockaddr* address, socklen_t length, NetDeadline deadline) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  if (::connect(fd, address, length) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  WaitReady(fd, POLLOUT, NetStep::kConnect, deadline);
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          NetDeadline deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc == EAI_SYSTEM) throw NetError(NetStep::kResolve, errno, OsErrorText(errno));
  if (rc != 0) throw NetError(NetStep::kResolve, ResolverErrorNumber(rc), ::gai_strerror(rc));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  int lastError = ECONNREFUSED;
  UniqueFd fd;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd.Reset(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      lastError = errno;
      continue;
    }
    lastError = ConnectBefore(fd.Get(), a->ai_addr, a->ai_addrlen, deadline);
    if (lastError == 0) break;
    fd.Reset();
  }
  if (!fd) throw NetError(NetStep::kConnect, lastError, OsErrorText(lastError));
  return std::make_unique<PosixTcpConnection>(std::move(fd), deadline);
}

}  // namespace platform
