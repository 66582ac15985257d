#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/child_program.h"

extern char** environ;

namespace platform {
namespace {

// A descriptor that becomes readable when the process ends; Linux's own, and race-free against
// a pid that is reused, since the child is not collected before it is read.
int ProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

ChildProgram::ChildProgram() = default;

ChildProgram::~ChildProgram() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool ChildProgram::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         std::string& error) {
  if (running_) {
    error = "it is already running";
    return false;
  }
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> entries;
  for (const auto& [name, value] : merged) entries.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = path;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // A stop signal this program catches must still end what it starts: defaults in the child.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (const int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int failed = path.find('/') == std::string::npos
                         ? posix_spawnp(&pid, path.c_str(), nullptr, &attributes, argv.data(),
                                        envp.data())
                         : posix_spawn(&pid, path.c_str(), nullptr, &attributes, argv.data(),
                                       envp.data());
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    error = std::strerror(failed);
    return false;
  }
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  const int descriptor = ProcessDescriptor(pid);
  if (descriptor >= 0) ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
  handle_ = descriptor;
  process_ = pid;
  running_ = true;
  return true;
}

std::intptr_t ChildProgram::Handle() const { return handle_; }

std::optional<bool> ChildProgram::TakeEnd() {
  if (!running_) return std::nullopt;
  int status = 0;
  const pid_t done = ::waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
  if (done == 0) return std::nullopt;
  running_ = false;
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;  // a loop waiting on it would find it readable for ever
  }
  if (done < 0) return true;  // collected elsewhere: nothing says it went well
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void ChildProgram::End(int graceMs) {
  if (!running_) return;
  const pid_t pid = static_cast<pid_t>(process_);
  ::kill(pid, SIGTERM);
  for (int waited = 0; waited < graceMs; waited += 20) {
    if (TakeEnd()) return;
    if (handle_ >= 0) {
      pollfd ended{static_cast<int>(handle_), POLLIN, 0};
      ::poll(&ended, 1, 20);
    } else {
      ::usleep(20000);
    }
  }
  if (TakeEnd()) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  running_ = false;
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
}

}  // namespace platform
