#pragma once

// A program this one starts and watches: its end is seen through a handle an event loop waits
// on, and it can be asked to end, then made to. Its output goes where this program's goes.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class ChildProgram {
 public:
  ChildProgram();
  // A program still running is left running: ending it is the owner's choice (End).
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // Starts `path` with `args`, in this program's environment with `environment` set over it.
  // False, with `error` in words, when it cannot start.
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::vector<std::pair<std::string, std::string>>& environment,
             std::string& error);
  bool Running() const { return running_; }
  // What an event loop waits on: a descriptor that becomes readable (POSIX) or a process handle
  // that is signalled (Windows) once the program has ended; -1 when none was started.
  std::intptr_t Handle() const;
  // Once it has ended: collects it, and says whether it failed (crashed, or a status other than
  // 0). Nothing while it runs, or after its end was taken.
  std::optional<bool> TakeEnd();
  // Asks it to end as the user or the system would (SIGTERM; on Windows, WM_CLOSE to its
  // windows), gives it `graceMs`, then ends it by force, and collects it.
  void End(int graceMs);

 private:
  std::intptr_t process_ = -1;  // the pid on POSIX, the process handle on Windows
  std::intptr_t handle_ = -1;   // what Handle() gives
  unsigned long pid_ = 0;       // Windows: whose windows are asked to close
  bool running_ = false;
};

}  // namespace platform
