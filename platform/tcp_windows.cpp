// TCP on Winsock. Its error numbers are the ones the client words ("Socket Error # 10061"), with
// the texts the POSIX build gives (platform/os_error_windows.cpp).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "platform/os_error.h"
#include "platform/tcp.h"

namespace platform {
namespace {

// Winsock wants starting once per process; it stays until the process ends.
void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

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

class WinsockConnection final : public TcpConnection {
 public:
  explicit WinsockConnection(Socket s) : s_(std::move(s)) {}

  void SendAll(std::string_view bytes) override {
    while (!bytes.empty()) {
      const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
      const int n = send(s_.Get(), bytes.data(), chunk, 0);
      if (n == SOCKET_ERROR) Fail(NetStep::kSend, WSAGetLastError());
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::size_t Receive(char* buffer, std::size_t capacity) override {
    const int n =
        recv(s_.Get(), buffer, static_cast<int>(std::min<std::size_t>(capacity, 1 << 30)), 0);
    if (n == SOCKET_ERROR) Fail(NetStep::kReceive, WSAGetLastError());
    return static_cast<std::size_t>(n);
  }

 private:
  Socket s_;
};

}  // namespace

std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port) {
  StartWinsock();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  // getaddrinfo's failures are Winsock's resolver numbers already (11001 host not found...).
  if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found)) {
    Fail(NetStep::kResolve, rc);
  }
  int lastError = WSAECONNREFUSED;
  Socket s;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    s = Socket(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    if (!s) {
      lastError = WSAGetLastError();
      continue;
    }
    if (connect(s.Get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) break;
    lastError = WSAGetLastError();
    s.Reset();
  }
  freeaddrinfo(found);
  if (!s) Fail(NetStep::kConnect, lastError);
  return std::make_unique<WinsockConnection>(std::move(s));
}

}  // namespace platform
