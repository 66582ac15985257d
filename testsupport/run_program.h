#pragma once

// Runs a program to the end with a text on its standard input and takes what it printed: the
// one-shot runs that the stand-in translator's warm pipelines are compared with, in tests and
// benchmarks.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace testsupport {
namespace run_program_detail {

inline std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

inline void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace run_program_detail

// What the program printed; `ok` is false when it could not be started or did not end with
// status 0.
inline std::string RunProgram(const std::vector<std::string>& argv, std::string_view input,
                              bool& ok) {
  ok = false;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return {};
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return {};
  }
  ::signal(SIGPIPE, SIG_IGN);  // a program that stops reading is its failure, not ours
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> args(argv);
  using namespace run_program_detail;
  std::vector<char*> pointers = Pointers(args);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return {};
  }
  // Write and read at once: a long text must not fill one pipe while we wait on the other.
  std::string result;
  std::size_t written = 0;
  int writeFd = in[1];
  // Not blocking: a write of more than the pipe holds would otherwise wait for the program,
  // which waits for us to read what it printed.
  ::fcntl(writeFd, F_SETFL, O_NONBLOCK);
  if (input.empty()) Close(writeFd);
  for (;;) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {writeFd, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (writeFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(writeFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      const bool again = n < 0 && (errno == EAGAIN || errno == EINTR);
      if ((n <= 0 && !again) || written == input.size()) Close(writeFd);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      result.append(buf, static_cast<std::size_t>(n));
    }
  }
  Close(writeFd);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

}  // namespace testsupport
