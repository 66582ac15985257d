// The socket desktop's registry: endpoints, windows and message names, as files in the desktop
// directory.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/desktop_internal.h"
#include "platform/desktop_posix.h"
#include "platform/error.h"
#include "platform/os_error.h"
#include "platform/unique_fd.h"

namespace platform::socket_desktop {
namespace {

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

std::atomic<unsigned> gEndpointCounter{0};
std::function<void()> gEndpointCreationPause;

}  // namespace

std::string WindowFileName(Hwnd window) {
  char name[32];
  std::snprintf(name, sizeof name, "w%lx", static_cast<unsigned long>(window));
  return name;
}

bool MakeSocketAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

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

}  // namespace platform::socket_desktop

namespace platform {

void detail::SetEndpointCreationPause(std::function<void()> pause) {
  socket_desktop::gEndpointCreationPause = std::move(pause);
}

}  // namespace platform
