// The socket desktop: every process of a desktop opens an endpoint (a listening Unix-domain
// socket and a lock file held for its whole life) in the desktop directory and meets the others
// through files there:
//   registry.lock          flock()ed while the two registries below are read or changed
//   messages               registered message names: one "id-hex name-hex" line each
//   next-window            the next window handle, in decimal
//   e<pid>-<n>-<nonce>.sock/.lock  a desktop object's endpoint; the lock is held exclusively
//                          while it lives (made as t<pid>-<n>-<nonce>.lock, locked, then renamed)
//   w<handle-hex>          a window: its endpoint's name, a line feed, then its title bytes
// A window whose endpoint lock is free belongs to a process that is gone; whoever notices
// removes its file. Messages travel as frames (platform/frame.h) over connections that a sender
// opens to the receiving endpoint and keeps.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/desktop.h"
#include "platform/desktop_internal.h"
#include "platform/error.h"
#include "platform/frame.h"
#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

wire::Frame MessageFrame(wire::FrameType type, Hwnd window, MsgId msg, WParam wParam,
                         LParam lParam) {
  wire::Frame frame;
  frame.type = type;
  frame.window = window;
  frame.msg = msg;
  frame.wParam = wParam;
  frame.lParam = lParam;
  return frame;
}

constexpr std::size_t kMaxConnections = 1024;
// A peer that stops reading must not make us hold unbounded output for it.
constexpr std::size_t kMaxQueuedOutput = 64u * 1024u * 1024u;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxReadPerEvent = 4u * 1024u * 1024u;
constexpr int kEventsPerRound = 32;
constexpr Hwnd kFirstWindowHandle = 0x10000;
constexpr Hwnd kLastWindowHandle = 0x7FFFFFFF;

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      return std::nullopt;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  return v;
}

std::string WindowFileName(Hwnd window) {
  char name[32];
  std::snprintf(name, sizeof name, "w%lx", static_cast<unsigned long>(window));
  return name;
}

bool ReadWholeFile(const std::string& path, std::string& out, std::size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  out.clear();
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > limit) return false;
  }
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Holds the desktop's registry lock for its lifetime.
class RegistryLock {
 public:
  explicit RegistryLock(const std::string& dir)
      : fd_(::open((dir + "/registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_) {
      int r;
      do {
        r = ::flock(fd_.Get(), LOCK_EX);
      } while (r < 0 && errno == EINTR);
      if (r < 0) fd_.Reset();
    }
  }
  ~RegistryLock() {
    if (fd_) ::flock(fd_.Get(), LOCK_UN);
  }
  bool Held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

bool MakeSocketAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

class SocketDesktop final : public Desktop {
 public:
  explicit SocketDesktop(std::string dir) : dir_(std::move(dir)) {}
  ~SocketDesktop() override;

  void Open();

  MsgId RegisterMessage(std::string_view name) override;
  Hwnd MakeWindow(std::string_view title, WindowProc proc) override;
  bool DestroyWindow(Hwnd window) override;
  int GetTitle(Hwnd window, char* buffer, int maxCount) override;
  bool IsWindow(Hwnd window) override;
  bool EnumWindows(const std::function<bool(Hwnd)>& callback) override;
  bool SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override;
  LResult Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) override;
  int EventHandle() const override { return epoll_.Get(); }
  void ProcessPending() override;
  bool WaitAndProcess(int timeoutMs) override;

 private:
  struct Conn {
    UniqueFd fd;
    wire::FrameReader reader;
    std::string out;
    std::size_t outOffset = 0;
    bool watchingOutput = false;
    std::string peer;  // the endpoint we connected to; empty for an accepted connection
  };
  struct LocalWindow {
    std::string title;
    std::shared_ptr<WindowProc> proc;
  };
  struct Pending {
    std::uint64_t conn = 0;
    bool done = false;
    LResult result = 0;
  };

  std::string Path(std::string_view name) const { return dir_ + "/" + std::string(name); }
  void MakeEndpoint();
  bool EndpointAlive(const std::string& endpoint) const;
  void SweepDeadEndpoints();
  bool WriteWindowFile(Hwnd window, std::string_view title);
  std::optional<std::string> WindowEndpoint(Hwnd window, std::string* title = nullptr);
  std::vector<Hwnd> LiveWindows(bool& ok);

  std::uint64_t AddConn(UniqueFd fd, std::string peer);
  // `patient`: a full listen backlog is given a short, bounded while to drain.
  std::uint64_t ConnectTo(const std::string& endpoint, bool patient);
  Conn* FindConn(std::uint64_t id);
  void CloseConn(std::uint64_t id);
  void Queue(std::uint64_t id, const wire::Frame& frame);
  void Flush(std::uint64_t id);
  void WatchOutput(std::uint64_t id, bool on);

  // Handles what epoll reports within the timeout; returns how many events it took.
  int RunOnce(int timeoutMs);
  void AcceptAll();
  void HandleReadable(std::uint64_t id);
  void HandleFrame(std::uint64_t id, wire::Frame frame);
  void Reply(std::uint64_t id, std::uint64_t seq, LResult result);
  LResult Deliver(Hwnd window, MsgId msg, WParam wParam, LParam lParam);

  std::string dir_;
  std::string endpoint_;
  UniqueFd lock_;
  UniqueFd listen_;
  UniqueFd epoll_;
  std::map<std::uint64_t, std::unique_ptr<Conn>> conns_;
  std::map<std::string, std::uint64_t> outgoing_;
  std::map<Hwnd, LocalWindow> windows_;
  // Handles are never reused, so a handle's endpoint can be remembered until a send fails.
  std::map<Hwnd, std::string> endpointOf_;
  std::map<std::string, MsgId, std::less<>> messages_;
  std::map<std::uint64_t, Pending> pending_;
  std::vector<char> readBuffer_;
  int depth_ = 0;  // messages from other processes being delivered, one inside the other
  bool reportedDepth_ = false;
  std::uint64_t nextConn_ = 1;  // 0 marks the listening socket in epoll
  std::uint64_t nextSeq_ = 1;
};

std::atomic<unsigned> gEndpointCounter{0};
std::function<void()> gEndpointCreationPause;

void SocketDesktop::Open() {
  if (::mkdir(dir_.c_str(), 0700) < 0 && errno != EEXIST)
    ThrowOsError("Cannot create desktop " + dir_, errno);
  struct stat st {};
  if (::lstat(dir_.c_str(), &st) < 0) ThrowOsError("Cannot open desktop " + dir_, errno);
  if (!S_ISDIR(st.st_mode)) throw Error("Desktop " + dir_ + " is not a directory");
  if (st.st_uid != ::geteuid()) throw Error("Desktop " + dir_ + " belongs to another user");
  if ((st.st_mode & 0077) != 0 && ::chmod(dir_.c_str(), 0700) < 0) {
    ThrowOsError("Cannot restrict desktop " + dir_, errno);
  }

  SweepDeadEndpoints();
  MakeEndpoint();

  sockaddr_un addr;
  const std::string socketPath = Path(endpoint_ + ".sock");
  if (!MakeSocketAddress(socketPath, addr)) throw Error("Desktop path too long: " + dir_);
  ::unlink(socketPath.c_str());
  listen_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listen_) ThrowOsError("Cannot create desktop socket", errno);
  if (::bind(listen_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      ::listen(listen_.Get(), 128) < 0) {
    ThrowOsError("Cannot listen on " + socketPath, errno);
  }
  epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) ThrowOsError("Cannot create desktop event handle", errno);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, listen_.Get(), &ev) < 0) {
    ThrowOsError("Cannot watch desktop socket", errno);
  }
}

SocketDesktop::~SocketDesktop() {
  for (const auto& [handle, window] : windows_) ::unlink(Path(WindowFileName(handle)).c_str());
  // Give notifications still queued a bounded chance to leave before the connections close.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (auto& [id, conn] : conns_) {
    while (conn->outOffset < conn->out.size() && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ::send(conn->fd.Get(), conn->out.data() + conn->outOffset,
                         conn->out.size() - conn->outOffset, MSG_NOSIGNAL);
      if (n > 0) {
        conn->outOffset += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{conn->fd.Get(), POLLOUT, 0};
        ::poll(&p, 1, 50);
      } else {
        break;
      }
    }
  }
  if (!endpoint_.empty() && listen_) {
    ::unlink(Path(endpoint_ + ".sock").c_str());
    ::unlink(Path(endpoint_ + ".lock").c_str());
  }
}

// Endpoint names are never used twice, not even by a later process with the same id: a window
// file left behind by a dead endpoint must never come back to life.
std::string NewEndpointName() {
  std::random_device random;
  const std::uint64_t nonce = (static_cast<std::uint64_t>(random()) << 32) | random();
  char name[64];
  std::snprintf(name, sizeof name, "e%ld-%u-%016llx", static_cast<long>(::getpid()),
                gEndpointCounter++, static_cast<unsigned long long>(nonce));
  return name;
}

void SocketDesktop::MakeEndpoint() {
  // The lock file is made and locked under a temporary name and only then given its endpoint
  // name, so that whoever finds an endpoint's lock file free may take its owner for dead. A
  // sweep may remove the temporary file before it is locked; then the rename fails and a new
  // name is tried.
  for (int attempt = 0;; ++attempt) {
    const std::string name = NewEndpointName();
    const std::string temp = Path("t" + name.substr(1) + ".lock");
    UniqueFd fd(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) ThrowOsError("Cannot create desktop endpoint", errno);
    if (gEndpointCreationPause) gEndpointCreationPause();
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
      if (::rename(temp.c_str(), Path(name + ".lock").c_str()) == 0) {
        endpoint_ = name;
        lock_ = std::move(fd);
        return;
      }
      if (errno != ENOENT) ThrowOsError("Cannot create desktop endpoint", errno);
    } else if (errno != EWOULDBLOCK) {
      ThrowOsError("Cannot lock desktop endpoint", errno);
    }
    if (attempt >= 16) throw Error("Cannot create desktop endpoint: it is swept away as made");
  }
}

bool SocketDesktop::EndpointAlive(const std::string& endpoint) const {
  if (endpoint == endpoint_) return true;
  UniqueFd fd(::open(Path(endpoint + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd.Get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

void SocketDesktop::SweepDeadEndpoints() {
  DIR* d = ::opendir(dir_.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() > 6 && (name[0] == 'e' || name[0] == 't') && name.ends_with(".lock")) {
      names.emplace_back(name);
    }
  }
  ::closedir(d);
  for (const std::string& name : names) {
    UniqueFd fd(::open(Path(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) < 0) continue;
    // Its owner is gone, or (a temporary name) has not locked it yet and will try another name:
    // nobody can take this name while we hold the lock.
    const std::string stem = name.substr(0, name.size() - 5);
    if (name[0] == 'e') ::unlink(Path(stem + ".sock").c_str());
    ::unlink(Path(name).c_str());
  }
}

MsgId SocketDesktop::RegisterMessage(std::string_view name) {
  if (name.empty()) return 0;
  if (auto it = messages_.find(name); it != messages_.end()) return it->second;
  RegistryLock lock(dir_);
  if (!lock.Held()) return 0;
  UniqueFd fd(::open(Path("messages").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd) return 0;
  std::string content;
  if (!ReadWholeFile(Path("messages"), content, 16u * 1024u * 1024u)) return 0;
  const std::string wanted = Hex(name);
  MsgId highest = kFirstRegisteredMessage - 1;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find('\n', pos);
    if (end == std::string::npos) break;  // a torn last line is ignored
    std::string_view line(content.data() + pos, end - pos);
    pos = end + 1;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    auto id = ParseHex(line.substr(0, space));
    if (!id || *id < kFirstRegisteredMessage || *id > kLastRegisteredMessage) continue;
    const MsgId msg = static_cast<MsgId>(*id);
    if (line.substr(space + 1) == wanted) {
      messages_.emplace(std::string(name), msg);
      return msg;
    }
    highest = std::max(highest, msg);
  }
  if (highest >= kLastRegisteredMessage) return 0;
  const MsgId msg = highest + 1;
  char idText[16];
  std::snprintf(idText, sizeof idText, "%x", msg);
  // A torn last line (a writer that died) is finished off so that the new line stands alone.
  std::string line = (!content.empty() && content.back() != '\n') ? "\n" : "";
  line += std::string(idText) + " " + wanted + "\n";
  if (!WriteAll(fd.Get(), line)) return 0;
  messages_.emplace(std::string(name), msg);
  return msg;
}

bool SocketDesktop::WriteWindowFile(Hwnd window, std::string_view title) {
  const std::string final = Path(WindowFileName(window));
  const std::string temp = final + "." + endpoint_ + ".tmp";
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return false;
  std::string content = endpoint_ + "\n" + std::string(title);
  if (!WriteAll(fd.Get(), content) || ::rename(temp.c_str(), final.c_str()) < 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

Hwnd SocketDesktop::MakeWindow(std::string_view title, WindowProc proc) {
  Hwnd handle = 0;
  {
    RegistryLock lock(dir_);
    if (!lock.Held()) return 0;
    UniqueFd fd(::open(Path("next-window").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) return 0;
    char buf[32] = {};
    ssize_t n = ::pread(fd.Get(), buf, sizeof buf - 1, 0);
    handle = kFirstWindowHandle;
    if (n > 0) {
      char* end = nullptr;
      unsigned long long v = std::strtoull(buf, &end, 10);
      if (v >= kFirstWindowHandle && v <= kLastWindowHandle) handle = static_cast<Hwnd>(v);
    }
    const Hwnd next = handle == kLastWindowHandle ? kFirstWindowHandle : handle + 1;
    const std::string text = std::to_string(next);
    if (::ftruncate(fd.Get(), 0) < 0 ||
        ::pwrite(fd.Get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
      return 0;
    }
  }
  if (!WriteWindowFile(handle, title)) return 0;
  windows_.emplace(handle,
                   LocalWindow{std::string(title), std::make_shared<WindowProc>(std::move(proc))});
  return handle;
}

bool SocketDesktop::DestroyWindow(Hwnd window) {
  if (windows_.erase(window) == 0) return false;
  ::unlink(Path(WindowFileName(window)).c_str());
  return true;
}

std::optional<std::string> SocketDesktop::WindowEndpoint(Hwnd window, std::string* title) {
  std::string content;
  // A title is at most what a window can be given; a larger file is not one of ours.
  if (!ReadWholeFile(Path(WindowFileName(window)), content, 1u << 20)) return std::nullopt;
  const std::size_t newline = content.find('\n');
  if (newline == std::string::npos || newline == 0) return std::nullopt;
  if (title != nullptr) *title = content.substr(newline + 1);
  return content.substr(0, newline);
}

int SocketDesktop::GetTitle(Hwnd window, char* buffer, int maxCount) {
  if (maxCount < 1) return 0;
  std::string title;
  if (auto it = windows_.find(window); it != windows_.end()) {
    title = it->second.title;
  } else if (!WindowEndpoint(window, &title)) {
    buffer[0] = '\0';
    return 0;
  }
  const std::size_t n = std::min<std::size_t>(title.size(), static_cast<std::size_t>(maxCount - 1));
  std::memcpy(buffer, title.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::vector<Hwnd> SocketDesktop::LiveWindows(bool& ok) {
  std::vector<Hwnd> handles;
  DIR* d = ::opendir(dir_.c_str());
  ok = d != nullptr;
  if (!ok) return handles;
  std::vector<Hwnd> candidates;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() < 2 || name[0] != 'w') continue;
    auto v = ParseHex(name.substr(1));
    if (v && *v >= kFirstWindowHandle && *v <= kLastWindowHandle) candidates.push_back(*v);
  }
  ::closedir(d);
  std::sort(candidates.begin(), candidates.end());
  std::map<std::string, bool> alive;
  for (Hwnd handle : candidates) {
    if (windows_.count(handle)) {
      handles.push_back(handle);
      continue;
    }
    auto endpoint = WindowEndpoint(handle);
    if (!endpoint) continue;  // foreign or half-written: not a window
    auto [it, fresh] = alive.emplace(*endpoint, false);
    if (fresh) it->second = EndpointAlive(*endpoint);
    if (it->second) {
      handles.push_back(handle);
    } else {
      ::unlink(Path(WindowFileName(handle)).c_str());
    }
  }
  return handles;
}

bool SocketDesktop::IsWindow(Hwnd window) {
  if (windows_.count(window)) return true;
  auto endpoint = WindowEndpoint(window);
  if (!endpoint) return false;
  if (EndpointAlive(*endpoint)) return true;
  ::unlink(Path(WindowFileName(window)).c_str());
  return false;
}

bool SocketDesktop::EnumWindows(const std::function<bool(Hwnd)>& callback) {
  bool ok = false;
  for (Hwnd handle : LiveWindows(ok)) {
    if (!callback(handle)) break;
  }
  return ok;
}

std::uint64_t SocketDesktop::AddConn(UniqueFd fd, std::string peer) {
  const std::uint64_t id = nextConn_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd.Get(), &ev) < 0) return 0;
  auto conn = std::make_unique<Conn>();
  conn->fd = std::move(fd);
  conn->peer = std::move(peer);
  if (!conn->peer.empty()) outgoing_[conn->peer] = id;
  conns_.emplace(id, std::move(conn));
  return id;
}

std::uint64_t SocketDesktop::ConnectTo(const std::string& endpoint, bool patient) {
  if (auto it = outgoing_.find(endpoint); it != outgoing_.end()) return it->second;
  if (conns_.size() >= kMaxConnections) return 0;
  sockaddr_un addr;
  if (!MakeSocketAddress(Path(endpoint + ".sock"), addr)) return 0;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return 0;
  // A full backlog answers EAGAIN at once; a send gives a busy peer a short, bounded while to
  // accept, a notification does not wait.
  for (int attempt = 0;; ++attempt) {
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN || !patient || attempt >= 200) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return AddConn(std::move(fd), endpoint);
}

SocketDesktop::Conn* SocketDesktop::FindConn(std::uint64_t id) {
  auto it = conns_.find(id);
  return it == conns_.end() ? nullptr : it->second.get();
}

void SocketDesktop::CloseConn(std::uint64_t id) {
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, it->second->fd.Get(), nullptr);
  if (!it->second->peer.empty()) {
    outgoing_.erase(it->second->peer);
    for (auto e = endpointOf_.begin(); e != endpointOf_.end();) {
      e = e->second == it->second->peer ? endpointOf_.erase(e) : std::next(e);
    }
  }
  conns_.erase(it);
  // Whoever waits for an answer on this connection gets 0, as for a window that is gone.
  for (auto& [seq, pending] : pending_) {
    if (pending.conn == id && !pending.done) {
      pending.done = true;
      pending.result = 0;
    }
  }
}

void SocketDesktop::WatchOutput(std::uint64_t id, bool on) {
  Conn* conn = FindConn(id);
  if (conn == nullptr || conn->watchingOutput == on) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  ev.data.u64 = id;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, conn->fd.Get(), &ev);
  conn->watchingOutput = on;
}

void SocketDesktop::Queue(std::uint64_t id, const wire::Frame& frame) {
  Conn* conn = FindConn(id);
  if (conn == nullptr) return;
  if (conn->out.size() - conn->outOffset > kMaxQueuedOutput) {
    CloseConn(id);
    return;
  }
  if (conn->outOffset == conn->out.size()) {
    conn->out.clear();
    conn->outOffset = 0;
  }
  conn->out += wire::Encode(frame);
  Flush(id);
}

void SocketDesktop::Flush(std::uint64_t id) {
  Conn* conn = FindConn(id);
  if (conn == nullptr) return;
  while (conn->outOffset < conn->out.size()) {
    ssize_t n = ::send(conn->fd.Get(), conn->out.data() + conn->outOffset,
                       conn->out.size() - conn->outOffset, MSG_NOSIGNAL);
    if (n > 0) {
      conn->outOffset += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      WatchOutput(id, true);
      return;
    }
    CloseConn(id);
    return;
  }
  conn->out.clear();
  conn->outOffset = 0;
  WatchOutput(id, false);
}

void SocketDesktop::AcceptAll() {
  for (;;) {
    UniqueFd fd(::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    if (conns_.size() >= kMaxConnections) continue;  // closed again: a flood is not served
    AddConn(std::move(fd), {});
  }
}

void SocketDesktop::HandleReadable(std::uint64_t id) {
  bool closed = false;
  std::size_t total = 0;
  // One buffer for every level of nesting, off the stack: the reads below end before any frame
  // is handled, so a nested call never finds it in use.
  readBuffer_.resize(kReadChunk);
  for (;;) {
    Conn* conn = FindConn(id);
    if (conn == nullptr) return;
    ssize_t n = ::recv(conn->fd.Get(), readBuffer_.data(), readBuffer_.size(), 0);
    if (n > 0) {
      conn->reader.Append(std::string_view(readBuffer_.data(), static_cast<std::size_t>(n)));
      total += static_cast<std::size_t>(n);
      if (total >= kMaxReadPerEvent) break;  // the rest waits for the next round: fairness
      // A short read took all there was; what comes later keeps the socket readable for the
      // next round (level-triggered), so asking again now would only be told EAGAIN.
      if (static_cast<std::size_t>(n) < readBuffer_.size()) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    closed = true;  // end of stream or an error
    break;
  }
  for (;;) {
    Conn* conn = FindConn(id);
    if (conn == nullptr) return;
    wire::Frame frame;
    const auto status = conn->reader.Next(frame);
    if (status == wire::FrameReader::Status::kNeedMore) break;
    if (status == wire::FrameReader::Status::kBad) {
      CloseConn(id);
      return;
    }
    HandleFrame(id, std::move(frame));
  }
  if (closed) CloseConn(id);
}

LResult SocketDesktop::Deliver(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return 0;
  std::shared_ptr<WindowProc> proc = it->second.proc;
  return detail::CallWindowProcSafely(*proc, window, msg, wParam, lParam);
}

void SocketDesktop::HandleFrame(std::uint64_t id, wire::Frame frame) {
  if (frame.type == wire::FrameType::kReply) {
    auto it = pending_.find(frame.seq);
    if (it != pending_.end() && it->second.conn == id && !it->second.done) {
      it->second.done = true;
      it->second.result = static_cast<LResult>(frame.result);
    }
    return;
  }
  if (depth_ >= kMaxNestedDeliveries) {
    if (!reportedDepth_) {
      reportedDepth_ = true;
      std::cerr << "desktop: messages nested more than " << kMaxNestedDeliveries
                << " deep are answered 0\n";
    }
    if (frame.type == wire::FrameType::kSend) Reply(id, frame.seq, 0);
    return;
  }
  // A request for a window of another process of the desktop was misrouted: nobody answers.
  const Hwnd window = static_cast<Hwnd>(frame.window);
  CopyDataStruct cds;
  LParam lParam = static_cast<LParam>(frame.lParam);
  if (frame.hasCopyData) {
    cds.dwData = static_cast<std::uintptr_t>(frame.dwData);
    cds.cbData = static_cast<std::uint32_t>(frame.data.size());
    cds.lpData = frame.data.data();
    lParam = reinterpret_cast<LParam>(&cds);
  }
  ++depth_;
  const LResult result = Deliver(window, frame.msg, static_cast<WParam>(frame.wParam), lParam);
  --depth_;
  if (frame.type == wire::FrameType::kSend) Reply(id, frame.seq, result);
}

void SocketDesktop::Reply(std::uint64_t id, std::uint64_t seq, LResult result) {
  wire::Frame reply;
  reply.type = wire::FrameType::kReply;
  reply.seq = seq;
  reply.result = static_cast<std::int64_t>(result);
  Queue(id, reply);
}

int SocketDesktop::RunOnce(int timeoutMs) {
  epoll_event events[kEventsPerRound];
  int n;
  do {
    n = ::epoll_wait(epoll_.Get(), events, kEventsPerRound, timeoutMs);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < n; ++i) {
    const std::uint64_t id = events[i].data.u64;
    if (id == 0) {
      AcceptAll();
      continue;
    }
    if (events[i].events & EPOLLOUT) Flush(id);
    if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) HandleReadable(id);
  }
  return n;
}

void SocketDesktop::ProcessPending() {
  // Level-triggered: what is left after these rounds keeps the event handle readable. A round
  // that took fewer events than it could took all that were ready; what came since is the next
  // call's, so no round is spent on being told there is nothing.
  for (int round = 0; round < 16; ++round) {
    if (RunOnce(0) < kEventsPerRound) return;
  }
}

bool SocketDesktop::WaitAndProcess(int timeoutMs) {
  pollfd p{epoll_.Get(), POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n > 0) ProcessPending();
  return true;
}

bool SocketDesktop::SendNotify(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  if (msg == kWmCopyData) return false;
  std::vector<Hwnd> targets;
  if (window == kHwndBroadcast) {
    bool ok = false;
    targets = LiveWindows(ok);
    if (!ok) return false;
  } else {
    targets.push_back(window);
  }
  bool delivered = window == kHwndBroadcast;
  for (Hwnd target : targets) {
    if (windows_.count(target)) {
      Deliver(target, msg, wParam, lParam);
      delivered = true;
      continue;
    }
    auto endpoint = WindowEndpoint(target);
    if (!endpoint) continue;
    const std::uint64_t conn = ConnectTo(*endpoint, false);
    if (conn == 0) continue;
    Queue(conn, MessageFrame(wire::FrameType::kNotify, target, msg, wParam, lParam));
    delivered = true;
  }
  return delivered;
}

LResult SocketDesktop::Send(Hwnd window, MsgId msg, WParam wParam, LParam lParam) {
  const auto* cds = reinterpret_cast<const CopyDataStruct*>(lParam);
  if (msg == kWmCopyData && (cds == nullptr || cds->cbData > kMaxCopyDataBytes ||
                             (cds->cbData > 0 && cds->lpData == nullptr))) {
    return 0;
  }
  if (windows_.count(window)) return Deliver(window, msg, wParam, lParam);
  wire::Frame frame = MessageFrame(wire::FrameType::kSend, window, msg, wParam, lParam);
  if (msg == kWmCopyData) {
    frame.hasCopyData = true;
    frame.dwData = cds->dwData;
    frame.lParam = 0;
    frame.data.assign(static_cast<const char*>(cds->lpData), cds->cbData);
  }
  std::string endpoint;
  if (auto it = endpointOf_.find(window); it != endpointOf_.end()) {
    // A window destroyed by its process takes its file along while the endpoint's stays: no
    // need to ask a process that may be busy. When both are gone (the directory was removed
    // under a running desktop), the open connection still serves.
    if (::access(Path(WindowFileName(window)).c_str(), F_OK) < 0 &&
        ::access(Path(it->second + ".lock").c_str(), F_OK) == 0) {
      endpointOf_.erase(it);
      return 0;
    }
    endpoint = it->second;
  } else {
    auto found = WindowEndpoint(window);
    if (!found) return 0;
    endpoint = *found;
  }
  const std::uint64_t conn = ConnectTo(endpoint, true);
  if (conn == 0) {
    endpointOf_.erase(window);
    if (!EndpointAlive(endpoint)) ::unlink(Path(WindowFileName(window)).c_str());
    return 0;
  }
  endpointOf_[window] = endpoint;
  const std::uint64_t seq = nextSeq_++;
  frame.seq = seq;
  pending_[seq] = Pending{conn};
  Queue(conn, frame);
  // Wait for our answer, handling everything that comes in meanwhile: sent messages to our own
  // windows run here, nested, and may send in turn.
  while (!pending_[seq].done) RunOnce(-1);
  const LResult result = pending_[seq].result;
  pending_.erase(seq);
  return result;
}

}  // namespace

void detail::SetEndpointCreationPause(std::function<void()> pause) {
  gEndpointCreationPause = std::move(pause);
}

std::string DefaultDesktopLocation() {
  if (const char* chosen = std::getenv("PARLAVANT_DESKTOP"); chosen && *chosen) return chosen;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/parlavant-desktop";
  }
  return "/tmp/parlavant-desktop-" + std::to_string(::geteuid());
}

std::unique_ptr<Desktop> OpenDesktop(const std::string& where) {
  auto desktop = std::make_unique<SocketDesktop>(where.empty() ? DefaultDesktopLocation() : where);
  desktop->Open();
  return desktop;
}

}  // namespace platform
