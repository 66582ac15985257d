#pragma once

// How a second copy of a program asks the first to come forward: a local socket at a path of
// the user's own. The first listens; a later one connects, says so, and waits for the answer.

#include <string>

namespace platform {

class InstanceChannel {
 public:
  InstanceChannel() = default;
  ~InstanceChannel();
  InstanceChannel(const InstanceChannel&) = delete;
  InstanceChannel& operator=(const InstanceChannel&) = delete;

  // True when a copy listening at `path` took the request within `timeoutMs`.
  static bool AskToShow(const std::string& path, int timeoutMs);

  // Listens at `path`, taking over a socket that a copy which ended left behind. False when it
  // cannot (then no later copy finds this one).
  bool Listen(const std::string& path);
  // Readable when a request waits; -1 when not listening.
  int Handle() const { return fd_; }
  // Answers the requests that wait; how many there were.
  int TakeRequests();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace platform
