// The socket desktop's connections: frames queued, written and read between endpoints.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "platform/desktop_posix.h"
#include "platform/frame.h"
#include "platform/unique_fd.h"

namespace platform::socket_desktop {
namespace {

constexpr std::size_t kMaxConnections = 1024;
// A peer that stops reading must not make us hold unbounded output for it.
constexpr std::size_t kMaxQueuedOutput = 64u * 1024u * 1024u;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxReadPerEvent = 4u * 1024u * 1024u;

}  // namespace

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

}  // namespace platform::socket_desktop
