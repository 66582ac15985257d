// TCP on Winsock. Its error numbers are the ones the client words ("Socket Error # 10061"), with
// the texts the POSIX build gives (platform/os_error_windows.cpp).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "platform/os_error.h"
#include "platform/tcp.h"
#include "platform/winsock_start.h"

namespace platform {

void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

namespace {

class Socket {
 public:
  explicit Socket(SOCKET s = INVALID_SOCKET) : s_(s) {}
  Socket(Socket&& other) noexcept : s_(other.s_) { other.s_ = INVALID_SOCKET; }
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Reset();
      s_ = other.s_;
      other.s_ = INVALID_SOCKET;
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Reset(); }
  SOCKET Get() const { return s_; }
  explicit operator bool() const { return s_ != INVALID_SOCKET; }
  void Reset() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }

 private:
  SOCKET s_;
};

[[noreturn]] void Fail(NetStep step, int number) {
  throw NetError(step, number, OsErrorText(number));
}

enum class Ready { kRead, kWrite };

// Waits until the socket can be read or written; a failed connect counts as ready, for the
// call that follows to report.
void WaitReady(SOCKET s, Ready what, NetStep step, NetDeadline deadline) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval wait{};
  timeval* limit = nullptr;
  if (deadline != kNoDeadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    const long long us = std::clamp<long long>(left.count(), 0, 1000000LL * INT_MAX / 2);
    wait.tv_sec = static_cast<long>(us / 1000000);
    wait.tv_usec = static_cast<long>(us % 1000000);
    limit = &wait;
  }
  const int n = select(0, what == Ready::kRead ? &ready : nullptr,
                       what == Ready::kWrite ? &ready : nullptr, &failed, limit);
  if (n == SOCKET_ERROR) Fail(step, WSAGetLastError());
  if (n == 0) throw NetTimeout(step);
}

class WinsockConnection final : public TcpConnection {
 public:
  WinsockConnection(Socket s, NetDeadline deadline) : s_(std::move(s)), deadline_(deadline) {}

  void SendAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
      const int n = send(s_.Get(), bytes.data(), chunk, 0);
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
        WaitReady(s_.Get(), Ready::kWrite, NetStep::kSend, deadline_);
        continue;
      }
      if (n == SOCKET_ERROR) Fail(NetStep::kSend, WSAGetLastError());
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    for (;;) {
      WaitReady(s_.Get(), Ready::kRead, NetStep::kReceive, deadline_);
      const int n =
          recv(s_.Get(), buffer, static_cast<int>(std::min<std::size_t>(capacity, 1 << 30)), 0);
      if (n != SOCKET_ERROR) return static_cast<std::size_t>(n);
      if (WSAGetLastError() != WSAEWOULDBLOCK) Fail(NetStep::kReceive, WSAGetLastError());
    }
  }

 private:
  Socket s_;
  NetDeadline deadline_;
};

// 0 once connected, else Winsock's error number; the socket is non-blocking from here on.
int ConnectBefore(SOCKET s, const sockaddr* address, int length, NetDeadline deadline) {
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (connect(s, address, length) == 0) return 0;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return WSAGetLastError();
  WaitReady(s, Ready::kWrite, NetStep::kConnect, deadline);
  int error = 0;
  int size = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return WSAGetLastError();
  }
  return error;
}

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          NetDeadline deadline) {
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  // getaddrinfo's failures are Winsock's resolver numbers already (11001 host not found...).
  if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found)) {
    Fail(NetStep::kResolve, rc);
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int lastError = WSAECONNREFUSED;
  Socket s;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    s = Socket(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (!s) {
      lastError = WSAGetLastError();
      continue;
    }
    lastError = ConnectBefore(s.Get(), a->ai_addr, static_cast<int>(a->ai_addrlen), deadline);
    if (lastError == 0) break;
    s.Reset();
  }
  if (!s) Fail(NetStep::kConnect, lastError);
  return std::make_unique<WinsockConnection>(std::move(s), deadline);
}

}  // namespace platform
