#pragma once

// How a second copy of a program asks the first to come forward: a local channel at a name of
// the user's own (a socket path on POSIX, a pipe name on Windows). The first listens; a later one
// connects, says so, and waits for the answer.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class InstanceChannel {
 public:
  InstanceChannel();
  ~InstanceChannel();
  InstanceChannel(const InstanceChannel&) = delete;
  InstanceChannel& operator=(const InstanceChannel&) = delete;

  // True when a copy listening at `path` took the request within `timeoutMs`.
  static bool AskToShow(const std::string& path, int timeoutMs);

  // Listens at `path`, taking over a socket that a copy which ended left behind. False when it
  // cannot (then no later copy finds this one).
  bool Listen(const std::string& path);
  // What an event loop waits on for a request: a descriptor that becomes readable (POSIX), or an
  // event handle that is set (Windows); -1 when not listening.
  std::intptr_t Handle() const;
  // Answers the requests that wait, without waiting for more; how many there were.
  int TakeRequests();

 private:
  struct State;  // the system's own
  std::unique_ptr<State> state_;
};

}  // namespace platform
