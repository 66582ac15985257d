#pragma once

// A program started by a test, with a pipe to its standard input (and its standard output, and
// standard error, in files when they are named). Whatever is still running when the object goes
// is ended by its process id: on POSIX asked with SIGTERM, then killed; on Windows, where no
// signal reaches another process, its input is closed and then it is terminated.
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// windows.h names the system's OpenDesktopA so; the desktop layer has an OpenDesktop of its own.
#undef OpenDesktop
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace testsupport {

#ifdef _WIN32

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath = {},
                        const std::string& stderrPath = {}) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    if (!CreatePipe(&read, &stdin_, &inherit, 0)) return;
    SetHandleInformation(stdin_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read;
    startup.hStdOutput = Output(stdoutPath, STD_OUTPUT_HANDLE, inherit);
    startup.hStdError = Output(stderrPath, STD_ERROR_HANDLE, inherit);
    std::string line;
    for (const std::string& arg : argv) line += (line.empty() ? "" : " ") + Quoted(arg);
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
      process_ = info.hProcess;
      CloseHandle(info.hThread);
    }
    CloseHandle(read);
    for (HANDLE h : {startup.hStdOutput, startup.hStdError}) {
      if (h != GetStdHandle(STD_OUTPUT_HANDLE) && h != GetStdHandle(STD_ERROR_HANDLE))
        CloseHandle(h);
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return process_ != nullptr; }
  bool Write(const std::string& text) {
    DWORD written = 0;
    return stdin_ != nullptr &&
           WriteFile(stdin_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
  }
  // Closes its input and gives it up to 1 s to end, then terminates it. Returns its exit status.
  int Stop() {
    CloseInput();
    if (process_ == nullptr) return -1;
    if (WaitForSingleObject(process_, 1000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    return Reap();
  }
  int Kill() {
    CloseInput();
    if (process_ == nullptr) return -1;
    TerminateProcess(process_, 1);
    return Reap();
  }
  std::optional<int> Wait(int ms) {
    if (process_ == nullptr ||
        WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    return Reap();
  }
  bool Alive() {
    if (process_ == nullptr) return false;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
    Reap();
    return false;
  }

 private:
  static std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    int backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      out.append(static_cast<std::size_t>(c == '"' ? backslashes * 2 + 1 : backslashes), '\\');
      backslashes = 0;
      out += c;
    }
    out.append(static_cast<std::size_t>(backslashes * 2), '\\');
    return out + "\"";
  }
  static HANDLE Output(const std::string& path, DWORD fallback, SECURITY_ATTRIBUTES& inherit) {
    if (path.empty()) return GetStdHandle(fallback);
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  void CloseInput() {
    if (stdin_ != nullptr) CloseHandle(stdin_);
    stdin_ = nullptr;
  }
  int Reap() {
    WaitForSingleObject(process_, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process_, &status);
    CloseHandle(process_);
    process_ = nullptr;
    return static_cast<int>(status);
  }

  HANDLE process_ = nullptr;
  HANDLE stdin_ = nullptr;
};

#else

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
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
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
  // The program reads the end of its input.
  void CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // Ends the program: SIGTERM, up to 5 s to go, then SIGKILL. Returns its exit status, or -1.
  int Stop() { return End(SIGTERM); }
  // Ends it at once, as a crash would.
  int Kill() { return End(SIGKILL); }

  // Waits up to `ms` for the program to end by itself: its exit status (-1 after a signal), or
  // nothing while it still runs.
  std::optional<int> Wait(int ms) {
    // Looked at every millisecond at first: most programs a test waits for end at once.
    for (int waited = 0, step = 1; pid_ > 0; waited += step, step = waited < 100 ? 1 : 10) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (waited >= ms) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
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

// Whether a process, not necessarily one of ours, has ended: gone, or a zombie that whoever
// inherited it has not reaped yet.
inline bool ProcessEnded(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::stringstream text;
  text << file.rdbuf();
  const std::string stat = text.str();
  const std::size_t paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

// Waits up to `ms` for ProcessEnded.
inline bool WaitUntilProcessEnded(pid_t pid, int ms) {
  for (int waited = 0; !ProcessEnded(pid); waited += 10) {
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

#endif

}  // namespace testsupport
