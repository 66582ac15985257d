#pragma once

// The one wait of a thread that serves sockets, and the desktop where it has one: a network
// thread waits for its server's socket and its wake-up, a host for the desktop and the network
// thread's wake-up.

#include "platform/socket_id.h"

namespace platform {

class Desktop;

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

// Waits at most `timeoutMs` (negative: without limit) until `first` or `second` (each may be
// kNoSocket) can be read or, where `desktop` is given, the desktop has messages, which it then
// handles. A signal cuts the wait short. Which sockets can be read: 1 for the first, 2 for the
// second, 3 for both, 0 for neither.
int WaitReadable(SocketId first, SocketId second, int timeoutMs, Desktop* desktop = nullptr);

}  // namespace platform
