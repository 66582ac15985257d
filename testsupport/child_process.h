#pragma once

// A program started by a test, with a pipe to its standard input (and its standard output in a
// file, when one is named). Whatever is still running when the object goes is ended by its
// process id: asked with SIGTERM, then killed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = {},
                        const std::string& stderrPath = {}) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (!stdoutPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (!stderrPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    stdin_ = in[1];
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  bool Write(const std::string& text) {
    return stdin_ >= 0 &&
           ::write(stdin_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Ends the program: SIGTERM, up to 5 s to go, then SIGKILL. Returns its exit status, or -1.
  int Stop() { return End(SIGTERM); }
  // Ends it at once, as a crash would.
  int Kill() { return End(SIGKILL); }

  // Waits up to `ms` for the program to end by itself: its exit status (-1 after a signal), or
  // nothing while it still runs.
  std::optional<int> Wait(int ms) {
    for (int waited = 0; pid_ > 0; waited += 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (waited >= ms) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  // Whether the program is still running; does not wait.
  bool Alive() {
    int status = 0;
    if (pid_ <= 0) return false;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
  }

  // Whether the program has already ended by this signal (then it is reaped); does not wait.
  bool EndedBy(int signal) {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == signal;
  }

 private:
  int End(int signal) {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
};

}  // namespace testsupport
