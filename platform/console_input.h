#pragma once

// Standard input read beside the desktop, for console programs that serve the desktop API and
// take commands as well: one wait covers both, so neither starves the other.

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace platform {

class ConsoleInput {
 public:
  // Reads standard input, or (for tests) another readable handle of the same kind.
  explicit ConsoleInput(int handle = 0) : handle_(handle) {}

  // Waits at most `timeoutMs` for desktop activity or input, handles the desktop's messages and
  // returns the lines that were completed, without their line feeds. At the end of the input the
  // last line comes even without a line feed, and Ended() turns true; later waits serve only the
  // desktop. A signal cuts the wait short, so that the caller can look at its stop flag.
  std::vector<std::string> WaitAndProcess(Desktop& desktop, int timeoutMs);
  bool Ended() const { return ended_; }

 private:
  // Waits for the desktop and the input. Processes the desktop; true when input can be read.
  bool Wait(Desktop& desktop, int timeoutMs);
  // Reads what has come: 0 at the end of the input.
  std::size_t Read(char* buffer, std::size_t size);

  int handle_;
  std::string pending_;
  bool ended_ = false;
  // What an implementation needs beyond the handle (on Windows, the thread that reads).
  struct Reader;
  std::shared_ptr<Reader> reader_;
};

}  // namespace platform
