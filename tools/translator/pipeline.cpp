#include "tools/translator/pipeline.h"

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

extern char** environ;

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

bool IsShellBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The program's path as execve wants it, looked up in PATH as a shell would; empty when none.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

// Whether this system has the locale the environment names (LANG, LC_*).
bool EnvironmentLocaleExists() {
  const locale_t named = ::newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
  if (named == static_cast<locale_t>(nullptr)) return false;
  ::freelocale(named);
  return true;
}

// The environment the stages get: the translator's own, with a UTF-8 character type, which the
// `apertium` command insists on as well. Where the environment names a locale this system lacks
// (a LANG brought over ssh, say), Apertium's C++ stages end at their start: they then get the C
// locale with UTF-8 for everything.
std::vector<std::string> StageEnvironment() {
  const bool lacking = !EnvironmentLocaleExists();
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LC_CTYPE=", 9) == 0) continue;
    if (lacking && std::strncmp(*e, "LC_ALL=", 7) == 0) continue;
    env.emplace_back(*e);
  }
  env.emplace_back("LC_CTYPE=C.UTF-8");
  if (lacking) env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A pipeline that dies must not take the translator with it: a write into its closed input is an
// error to handle, not a signal.
void IgnoreBrokenPipes() {
  static const bool once = [] {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    return true;
  }();
  (void)once;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + ::strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// How the pipeline ended, once its output has: the stage that failed, not one that merely saw
// its input end after it, nor one that a broken pipe ended before it. A stage closes its output
// before its parent can reap it, so the stages are waited for briefly, in their order. Those
// reaped leave `pids`: their ids may be another process's by the time the rest are.
std::string EndedHow(std::vector<pid_t>& pids) {
  const auto until = Clock::now() + std::chrono::milliseconds(200);
  std::string failed, first;
  std::vector<pid_t> running;
  for (pid_t pid : pids) {
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (reaped != pid) {
      running.push_back(pid);
      continue;
    }
    const std::string how = " (" + Describe(status) + ")";
    const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const bool brokenPipe = WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE;
    if (!clean && !brokenPipe && failed.empty()) failed = how;
    if (first.empty()) first = how;
  }
  pids = std::move(running);
  return failed.empty() ? first : failed;
}

// Runs `work` on a thread that lives as long as the translator, and waits for it. A stage's death
// signal follows the thread that started it, not the process: started from the thread serving a
// connection, every stage was killed when that connection closed, and each request started its
// pipeline anew (a tenth of a second instead of a few milliseconds).
void OnLongLivedThread(const std::function<void()>& work) {
  struct Launcher {
    pid_t process = ::getpid();
    std::mutex mutex;
    std::condition_variable changed;
    const std::function<void()>* work = nullptr;
    std::uint64_t done = 0;
  };
  static std::mutex made;
  // Never destroyed: its thread may be waiting on it while the translator exits. A child forked
  // from the translator has no such thread and makes its own (the parent's may be mid-use).
  static Launcher* launcher = nullptr;
  Launcher* l = nullptr;
  {
    std::lock_guard<std::mutex> lock(made);
    if (launcher == nullptr || launcher->process != ::getpid()) {
      launcher = new Launcher;
      std::thread([l = launcher] {
        std::unique_lock<std::mutex> held(l->mutex);
        for (;;) {
          l->changed.wait(held, [l] { return l->work != nullptr; });
          (*l->work)();
          l->work = nullptr;
          ++l->done;
          l->changed.notify_all();
        }
      }).detach();
    }
    l = launcher;
  }
  std::unique_lock<std::mutex> lock(l->mutex);
  l->changed.wait(lock, [l] { return l->work == nullptr; });
  l->work = &work;
  const std::uint64_t ticket = l->done + 1;
  l->changed.notify_all();
  l->changed.wait(lock, [l, ticket] { return l->done >= ticket; });
}

}  // namespace

std::vector<Command> ModeCommands(std::string_view text) {
  std::vector<Command> stages(1);
  std::string word;
  bool inWord = false;
  bool quoted = false;
  auto endWord = [&] {
    // An unquoted expansion to nothing is no word at all, as in the shell.
    if (inWord && (quoted || !word.empty())) stages.back().push_back(word);
    word.clear();
    inWord = quoted = false;
  };
  auto expand = [&](char digit) {
    if (digit == '1') word += "-n";
    inWord = true;
  };
  auto isPlaceholder = [&](std::size_t i) {
    return text[i] == '$' && i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9';
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      std::size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) end = text.size();
      word.append(text.substr(i + 1, end - i - 1));
      inWord = quoted = true;
      i = end;
    } else if (c == '"') {
      inWord = quoted = true;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '\\' && next == '\n') {
          ++i;  // a line continuation, as outside the quotes
        } else if (text[i] == '\\' && next != '\0' && std::strchr("\\\"$`", next)) {
          word += text[++i];
        } else if (isPlaceholder(i)) {
          expand(text[++i]);
        } else {
          word += text[i];
        }
      }
    } else if (c == '\\' && i + 1 < text.size()) {
      if (text[i + 1] != '\n') word += text[i + 1];
      inWord = true;
      ++i;
    } else if (isPlaceholder(i)) {
      expand(text[++i]);
    } else if (c == '|') {
      endWord();
      stages.emplace_back();
    } else if (IsShellBlank(c)) {
      endWord();
    } else {
      word += c;
      inWord = true;
    }
  }
  endWord();
  for (Command& stage : stages) {
    if (stage.empty()) return {};
    if (std::find(stage.begin() + 1, stage.end(), "-z") == stage.end())
      stage.insert(stage.begin() + 1, "-z");
  }
  return stages;
}

WarmPipeline::WarmPipeline(std::vector<Command> stages, std::chrono::milliseconds hangBound)
    : stages_(std::move(stages)), hangBound_(hangBound), nonce_(std::random_device{}()) {}

WarmPipeline::~WarmPipeline() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked();
}

int WarmPipeline::Starts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return starts_;
}

pid_t WarmPipeline::ProcessGroup() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return group_;
}

std::uint64_t WarmPipeline::Arrived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextTicket_;
}

bool WarmPipeline::Run(std::string_view stream, std::string& output, std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Served in the order they came: a mutex alone lets any waiter in next.
  const std::uint64_t ticket = nextTicket_++;
  turn_.wait(lock, [&] { return serving_ == ticket; });
  bool ok = AliveLocked() || StartLocked(error);
  if (ok) {
    ++requests_;
    lock.unlock();
    ok = Exchange(stream, output, error);
    lock.lock();
    if (!ok) StopLocked();
  }
  ++serving_;
  turn_.notify_all();
  return ok;
}

bool WarmPipeline::StartLocked(std::string& error) {
  StopLocked();
  IgnoreBrokenPipes();
  if (stages_.empty()) {
    error = "the mode names no programs";
    return false;
  }
  // Everything the children need is made before the first fork: between fork and exec a child of
  // a threaded process may only make async-signal-safe calls.
  std::vector<std::string> paths;
  std::vector<std::vector<std::string>> args;
  std::vector<std::vector<char*>> argvs;
  for (const Command& stage : stages_) {
    paths.push_back(FindProgram(stage[0]));
    if (paths.back().empty()) {
      error = "cannot find the program " + stage[0];
      return false;
    }
    args.push_back(stage);
  }
  for (auto& a : args) argvs.push_back(PointersTo(a));
  std::vector<std::string> envStrings = StageEnvironment();
  std::vector<char*> env = PointersTo(envStrings);

  const std::size_t n = stages_.size();
  // fds[i] feeds stage i; fds[n] is what the last stage prints.
  std::vector<std::array<int, 2>> fds(n + 1, {-1, -1});
  auto closeAll = [&] {
    for (auto& pair : fds)
      for (int& fd : pair) CloseFd(fd);
  };
  for (auto& pair : fds) {
    if (::pipe2(pair.data(), O_CLOEXEC) != 0) {
      error = std::string("cannot make a pipe: ") + std::strerror(errno);
      closeAll();
      return false;
    }
  }
  const pid_t parent = ::getpid();
  const long openMax = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
  int forkErrno = 0;
  OnLongLivedThread([&] {
    for (std::size_t i = 0; i < n; ++i) {
      const pid_t pid = ::fork();
      if (pid < 0) {
        forkErrno = errno;
        return;
      }
      if (pid == 0) {
        // One process group for the whole pipeline, so that one signal ends it; and each stage
        // dies with the translator, even a translator killed outright.
        ::setpgid(0, group_);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(fds[i][0], 0) < 0 || ::dup2(fds[i + 1][1], 1) < 0) ::_exit(127);
        // Nothing of the translator's goes with it: not every library marks its descriptors
        // close-on-exec (the HTTP server's sockets are not), and a stage holding a copy of a
        // client's connection keeps that client waiting after the translator has answered or died.
        if (::close_range(3, ~0u, 0) != 0) {
          for (long fd = 3; fd < openMax; ++fd) ::close(static_cast<int>(fd));
        }
        ::execve(paths[i].c_str(), argvs[i].data(), env.data());
        ::_exit(127);
      }
      // Set here too: the next stage joins the group and must not find it missing.
      ::setpgid(pid, group_ == 0 ? pid : group_);
      if (group_ == 0) group_ = pid;
      pids_.push_back(pid);
    }
  });
  if (forkErrno != 0) {
    error = std::string("cannot start a process: ") + std::strerror(forkErrno);
    closeAll();
    StopLocked();
    return false;
  }
  input_ = fds[0][1];
  output_ = fds[n][0];
  fds[0][1] = fds[n][0] = -1;
  closeAll();
  ::fcntl(input_, F_SETFL, O_NONBLOCK);
  ::fcntl(output_, F_SETFL, O_NONBLOCK);
  ++starts_;
  return true;
}

bool WarmPipeline::AliveLocked() {
  if (pids_.empty()) return false;
  for (pid_t pid : pids_) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) != 0) return false;
  }
  return true;
}

void WarmPipeline::StopLocked() {
  if (group_ > 0) ::kill(-group_, SIGKILL);
  for (pid_t pid : pids_) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pids_.clear();
  group_ = 0;
  CloseFd(input_);
  CloseFd(output_);
}

bool WarmPipeline::Exchange(std::string_view stream, std::string& output, std::string& error) {
  // The text is flushed through on its own, then a superblank no text can contain: the answer
  // is complete when that marker comes out, whatever NULs the stages passed before it.
  const std::string marker =
      "[parlavant-" + std::to_string(nonce_) + "-" + std::to_string(requests_) + "]";
  const std::string end = marker + '\0';
  std::string request;
  request.reserve(stream.size() + end.size() + 1);
  request.append(stream);
  request += '\0';
  request += end;

  std::string received;
  std::size_t written = 0;
  auto deadline = Clock::now() + hangBound_;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      error = "no answer from the pipeline within " + std::to_string(hangBound_.count()) +
              " ms; it was stopped";
      return false;
    }
    pollfd fds[2] = {{output_, POLLIN, 0}, {written < request.size() ? input_ : -1, POLLOUT, 0}};
    if (::poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000))) < 0) {
      if (errno == EINTR) continue;
      error = std::string("cannot wait for the pipeline: ") + std::strerror(errno);
      return false;
    }
    if (fds[1].revents != 0) {
      const ssize_t n = ::write(input_, request.data() + written, request.size() - written);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        error = std::string("the pipeline stopped reading: ") + std::strerror(errno);
        return false;
      }
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        deadline = Clock::now() + hangBound_;
      }
    }
    if (fds[0].revents != 0) {
      char buf[65536];
      const ssize_t n = ::read(output_, buf, sizeof buf);
      if (n == 0) {
        error = "the pipeline ended" + EndedHow(pids_);
        return false;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        error = std::string("cannot read from the pipeline: ") + std::strerror(errno);
        return false;
      }
      // Only the new bytes, and the marker's length before them, can complete the marker.
      const std::size_t from = received.size() > end.size() ? received.size() - end.size() : 0;
      received.append(buf, static_cast<std::size_t>(n));
      deadline = Clock::now() + hangBound_;
      const std::size_t at = received.find(end, from);
      if (at != std::string::npos) {
        received.resize(at);
        std::erase(received, '\0');
        output = std::move(received);
        return true;
      }
    }
  }
}

PipelinePool::PipelinePool(CommandsOf commandsOf, std::chrono::milliseconds hangBound,
                           int perMode)
    : commandsOf_(std::move(commandsOf)), hangBound_(hangBound), perMode_(std::max(1, perMode)) {}

bool PipelinePool::Run(const std::string& mode, std::string_view stream, std::string& output,
                       std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  Mode& m = modes_[mode];
  if (m.pipelines.empty()) {
    const std::vector<Command> stages = commandsOf_(mode);
    for (int i = 0; i < perMode_; ++i) {
      m.pipelines.push_back(std::make_unique<WarmPipeline>(stages, hangBound_));
    }
    m.busy.assign(m.pipelines.size(), false);
  }
  // The first free pipeline: the one started earliest, so that the rest start only when the
  // requests need more than one at a time. Free ones exist only while nobody waits.
  std::size_t index = static_cast<std::size_t>(std::find(m.busy.begin(), m.busy.end(), false) -
                                               m.busy.begin());
  if (index == m.busy.size()) {
    Waiter me;
    m.waiting.push_back(&me);
    me.handed.wait(lock, [&me] { return me.ready; });
    index = me.pipeline;
  } else {
    m.busy[index] = true;
  }
  WarmPipeline& pipeline = *m.pipelines[index];
  lock.unlock();
  const bool ok = pipeline.Run(stream, output, error);
  lock.lock();
  if (m.waiting.empty()) {
    m.busy[index] = false;
  } else {
    Waiter* next = m.waiting.front();
    m.waiting.pop_front();
    next->pipeline = index;
    next->ready = true;
    next->handed.notify_one();
  }
  return ok;
}

std::map<std::string, int> PipelinePool::Starts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::string, int> starts;
  for (const auto& [name, m] : modes_) {
    for (const auto& pipeline : m.pipelines) starts[name] += pipeline->Starts();
  }
  return starts;
}

}  // namespace standin
