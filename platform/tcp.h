#pragma once

// TCP connections, as far as the translation client needs them: connect to a host and port, send
// everything, receive what has come. Errors carry what failed, a number and a text, so that the
// client can word them the same way on every platform.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

enum class NetStep { kResolve, kConnect, kSend, kReceive };

// The failure of one step. `Number` is the system's error number; for kResolve, where the
// system has none, the number Windows gives the same failure (11001 host not found, 11002 try
// again, 11003 non-recoverable, 11004 no data), so that it cannot be taken for a system error.
class NetError : public Error {
 public:
  NetError(NetStep step, int number, std::string text)
      : Error(std::move(text)), step_(step), number_(number) {}
  NetStep Step() const { return step_; }
  int Number() const { return number_; }
  // The system's or the resolver's text, as what() gives it.
  std::string Text() const { return what(); }

 private:
  NetStep step_;
  int number_;
};

// One open connection; closed when the object goes.
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  // Sends every byte or throws NetError (kSend).
  virtual void SendAll(std::string_view bytes) = 0;
  // Waits for bytes and copies at most `capacity` of them into `buffer`; 0 once the peer has
  // closed the connection. Throws NetError (kReceive).
  virtual std::size_t Receive(char* buffer, std::size_t capacity) = 0;
};

// Resolves `host` (a name or an address, IPv6 without brackets) and connects to the first of its
// addresses that accepts. Throws NetError (kResolve, kConnect). No time-out beyond the system's.
std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port);

}  // namespace platform
