#pragma once

// TCP connections, as far as the translation client needs them: connect to a host and port, send
// everything, receive what has come. Errors carry what failed, a number and a text, so that the
// client can word them the same way on every platform.

#include <chrono>
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

// The moment by which a whole exchange must be over: connecting, sending and receiving all count
// against it, so that a peer trickling one byte a second is bounded as one that never answers.
using NetDeadline = std::chrono::steady_clock::time_point;
inline constexpr NetDeadline kNoDeadline = NetDeadline::max();

// The deadline passed while waiting for the peer (`step` says which wait).
class NetTimeout : public Error {
 public:
  explicit NetTimeout(NetStep step) : Error("timed out"), step_(step) {}
  NetStep Step() const { return step_; }

 private:
  NetStep step_;
};

// One open connection; closed when the object goes.
class TcpConnection {
 public:
  virtual ~TcpConnection() = default;
  // Sends every byte or throws NetError (kSend) or NetTimeout.
  virtual void SendAll(std::string_view bytes) = 0;
  // Waits for bytes and copies at most `capacity` of them into `buffer`; 0 once the peer has
  // closed the connection. Throws NetError (kReceive) or NetTimeout.
  virtual std::size_t Receive(char* buffer, std::size_t capacity) = 0;
};

// Resolves `host` (a name or an address, IPv6 without brackets) and connects to the first of its
// addresses that accepts. Throws NetError (kResolve, kConnect) or NetTimeout. The deadline holds
// for connecting and for everything the connection does later; resolving a name is bounded only
// by the system's resolver.
std::unique_ptr<TcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                          NetDeadline deadline = kNoDeadline);

}  // namespace platform
