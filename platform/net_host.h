#pragma once

// What a program that keeps a long-lived network connection needs from the system beyond the
// translation client's TCP: its network side on a thread of its own with a stack deep enough for
// a recursive XML library, a way for that thread to wake the desktop's loop, socket options that
// notice a dead path, a resolver that tells whether a name stays on this machine, and a process
// that keeps its secrets out of core dumps. Built where the XMPP client is (POSIX here; Winsock
// and Win32 threads offer the same).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A socket as the system names it: a descriptor here, a SOCKET (as wide as a pointer) on Windows.
#ifdef _WIN32
using SocketId = std::uintptr_t;
inline constexpr SocketId kNoSocket = ~SocketId{0};
#else
using SocketId = int;
inline constexpr SocketId kNoSocket = -1;
#endif

// A thread with a stack of its own size. Join() (or the destructor) waits for it to end.
class Thread {
 public:
  virtual ~Thread() = default;
  virtual void Join() = 0;
};
// Starts `body` on a thread whose stack is `stackBytes` (reserved, not committed: untouched
// pages cost nothing); signals are never delivered to it. Throws platform::Error when the
// system refuses.
std::unique_ptr<Thread> StartThread(std::size_t stackBytes, std::function<void()> body);

// A flag one thread raises and another waits for beside its sockets. Signal() is safe from any
// thread; Handle() is what to wait on (readable while raised: an event descriptor here, a socket
// sending to itself on Windows); Clear() lowers it.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  void Signal();
  void Clear();
  SocketId Handle() const { return fd_; }

 private:
  SocketId fd_ = kNoSocket;
};

// Waits at most `timeoutMs` until either socket (each may be kNoSocket) can be read; a signal
// cuts the wait short. Which can: 1 for the first, 2 for the second, 3 for both, 0 for neither.
int WaitForEither(SocketId first, SocketId second, int timeoutMs);

// TCP keep-alive on a connected socket: probes after `idleSeconds` without traffic, every
// `intervalSeconds`, `count` times; and unacknowledged data is given up on after the same total
// (so that a path that takes data but never delivers it is noticed too). False when the system
// refuses an option.
bool KeepAlive(SocketId socket, int idleSeconds, int intervalSeconds, int count);

// Stops both directions of a socket at once, so that its owner's next read sees the end. For a
// connection that is alive on paper but dead in fact.
void ShutDownSocket(SocketId socket);

// Every address `host` resolves to, as numeric text ("127.0.0.1", "::1"). Throws platform::Error
// when it does not resolve.
std::vector<std::string> ResolveAddresses(const std::string& host);
// Whether a numeric address is this machine's loopback (127.0.0.0/8, ::1, or IPv4-mapped 127/8).
bool IsLoopbackAddress(const std::string& numeric);

// The process cannot be dumped or traced by others of its user, and writes no core file: a
// password it holds stays in it.
void KeepSecretsOutOfDumps();

}  // namespace platform
