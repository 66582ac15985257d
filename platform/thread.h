#pragma once

// A thread for a network side of its own: a stack deep enough for a recursive XML library, and
// no signals.

#include <cstddef>
#include <functional>
#include <memory>

namespace platform {

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

}  // namespace platform
