#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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

class PosixTcpConnection final : public TcpConnection {
 public:
  explicit PosixTcpConnection(UniqueFd fd) : fd_(std::move(fd)) {}

  void SendAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw NetError(NetStep::kSend, errno, OsErrorText(errno));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    for (;;) {
      const ssize_t n = ::recv(fd_.Get(), buffer, capacity, 0);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throw NetError(NetStep::kReceive, errno, OsErrorText(errno));
    }
  }

 private:
  UniqueFd fd_;
};

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc == EAI_SYSTEM) throw NetError(NetStep::kResolve, errno, OsErrorText(errno));
  if (rc != 0) throw NetError(NetStep::kResolve, ResolverErrorNumber(rc), ::gai_strerror(rc));
  int lastError = ECONNREFUSED;
  UniqueFd fd;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd.Reset(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      lastError = errno;
      continue;
    }
    int r;
    do {
      r = ::connect(fd.Get(), a->ai_addr, a->ai_addrlen);
    } while (r < 0 && errno == EINTR);
    if (r == 0) break;
    lastError = errno;
    fd.Reset();
  }
  ::freeaddrinfo(found);
  if (!fd) throw NetError(NetStep::kConnect, lastError, OsErrorText(lastError));
  return std::make_unique<PosixTcpConnection>(std::move(fd));
}

}  // namespace platform
