#pragma once

// Loopback helpers for tests, on POSIX sockets or Winsock.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <thread>

namespace testsupport {

#ifdef _WIN32
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
inline void CloseSocket(SocketHandle s) {
  closesocket(s);
}
// Winsock wants starting once per process before any socket.
inline void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
#else
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
inline void CloseSocket(SocketHandle s) {
  ::close(s);
}
inline void StartSockets() {}
#endif

inline sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// A loopback port that was free a moment ago (the system picked it); nothing listens there now.
inline std::uint16_t FreeLoopbackPort() {
  StartSockets();
  const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = Loopback(0);
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  CloseSocket(s);
  return ntohs(addr.sin_port);
}

// `count` consecutive loopback ports free a moment ago, below the range the system hands out for
// outgoing connections (a client's own port must not take an instance's).
inline std::uint16_t FreeLoopbackPorts(int count) {
  StartSockets();
  static std::uint16_t next = static_cast<std::uint16_t>(
      20000 + std::chrono::steady_clock::now().time_since_epoch().count() % 5000);
  for (;;) {
    const std::uint16_t base = next;
    next = static_cast<std::uint16_t>(next + count + 1);
    if (next > 30000) next = 20000;
    bool free = true;
    for (int i = 0; i < count && free; ++i) {
      const SocketHandle fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr = Loopback(static_cast<std::uint16_t>(base + i));
      free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      CloseSocket(fd);
    }
    if (free) return base;
  }
}

// Waits up to `ms` milliseconds until connections to 127.0.0.1:port are accepted (`listening`)
// or no longer are (a server of an earlier test on a fixed port, say).
inline bool WaitUntilListening(std::uint16_t port, int ms = 10000, bool listening = true) {
  StartSockets();
  for (int waited = 0; waited < ms; waited += 20) {
    const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(port);
    const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    CloseSocket(s);
    if (up == listening) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
inline bool WaitUntilNotListening(std::uint16_t port, int ms = 10000) {
  return WaitUntilListening(port, ms, false);
}

}  // namespace testsupport
