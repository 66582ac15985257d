#pragma once

// A TCP proxy on loopback between a client under test and its server, for making the path
// between them fail the ways real paths do: closed (FIN), reset (RST), cut in the middle of
// what is in flight, or silent (every byte held, nothing closed). It serves on a thread of its
// own until destroyed. POSIX only.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/net_util.h"

namespace testsupport {

class TcpProxy {
 public:
  enum class Fault { kFin, kReset, kMidStream, kSilence, kDeaf, kMute, kRelayLate };

  explicit TcpProxy(std::uint16_t target) : target_(target) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = Loopback(0);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::listen(listen_, 16);
    ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TcpProxy() {
    stop_ = true;
    Wake();
    thread_.join();
    for (Pair& p : pairs_) Close(p, false);
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  std::uint16_t Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Applies `fault` to every connection open now; later ones are forwarded as usual. kMidStream
  // forwards half of the next piece that comes either way and then resets both sides; kSilence
  // stops forwarding and reading, and keeps both sides open until EndSilence(); kDeaf forwards
  // what the client writes but nothing of the server's (what it acknowledges never arrives)
  // until Hear(); kMute takes what the client writes and drops it (see Muted()); kRelayLate is a relay that takes what the client writes and keeps it, and keeps the server's
  // side open after the client has gone, until ReleaseLate() delivers it.
  void Inject(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back({fault, Command::kInject});
    Wake();
  }
  // Resets the connections kept silent, as a dead path's ends finally give up.
  void EndSilence() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back({Fault::kSilence, Command::kEndSilence});
    Wake();
  }
  // What the deaf connections held back from the server reaches the client, and more after it.
  void Hear() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back({Fault::kDeaf, Command::kHear});
    Wake();
  }
  // What muted connections dropped.
  std::string Muted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return muted_;
  }
  // Writes what the relaying connections kept to the server, and closes them.
  void ReleaseLate() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back({Fault::kRelayLate, Command::kRelease});
    Wake();
  }
  // While on, new connections are accepted and then held without a word: a server that takes
  // the connection and never speaks.
  void HoldNew(bool on) { holdNew_ = on; }
  int Accepted() const { return accepted_; }
  // Everything forwarded so far from the clients to the server, and back, over all connections.
  std::string FromClients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fromClients_;
  }
  std::string FromServer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fromServer_;
  }
  // Called on the proxy's thread with what a client wrote, once it is forwarded; what it returns
  // goes to that client at once, ahead of anything the server answers to it. Set before the
  // client connects.
  std::function<std::string(const std::string& written)> OnClientBytes;
  // Called on the proxy's thread with each piece the server sends; what it returns goes on to
  // the client in its place (a path that changes what passes). Set before the client connects.
  std::function<std::string(const std::string& piece)> RewriteFromServer;
  // When the latest connection was accepted.
  std::chrono::steady_clock::time_point LastAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastAccepted_;
  }

 private:
  struct Pair {
    int client = -1, server = -1;
    bool silent = false, cutMidStream = false, deaf = false, mute = false, relaying = false;
    std::string kept;  // relaying: what the client wrote
  };
  struct Command {
    Fault fault;
    enum { kInject, kEndSilence, kHear, kRelease } action;
  };

  void Wake() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  }

  static void Close(Pair& p, bool reset) {
    for (int fd : {p.client, p.server}) {
      if (fd < 0) continue;
      if (reset) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      ::close(fd);
    }
    p.client = p.server = -1;
  }

  void Apply(const Command& command) {
    for (Pair& p : pairs_) {
      if (command.action == Command::kRelease) {
        if (!p.relaying || p.server < 0) continue;
        SendAll(p.server, p.kept.data(), p.kept.size());
        Close(p, false);
        continue;
      }
      if (p.client < 0) continue;
      if (command.action == Command::kHear) {
        p.deaf = false;
        continue;
      }
      if (command.action == Command::kEndSilence) {
        if (p.silent) Close(p, true);
        continue;
      }
      if (p.silent) continue;
      switch (command.fault) {
        case Fault::kFin:
          Close(p, false);
          break;
        case Fault::kReset:
          Close(p, true);
          break;
        case Fault::kMidStream:
          p.cutMidStream = true;
          break;
        case Fault::kSilence:
          p.silent = true;
          break;
        case Fault::kDeaf:
          p.deaf = true;
          break;
        case Fault::kMute:
          p.mute = true;
          break;
        case Fault::kRelayLate:
          p.relaying = true;
          break;
      }
    }
  }

  static bool SendAll(int to, const char* bytes, std::size_t count) {
    for (std::size_t sent = 0; sent < count;) {
      const ssize_t w = ::send(to, bytes + sent, count - sent, MSG_NOSIGNAL);
      if (w <= 0) return false;
      sent += static_cast<std::size_t>(w);
    }
    return true;
  }

  // Forwards what `from` has to `to`; false when the pair is to be closed.
  bool Forward(Pair& p, int from, int to) {
    char buffer[65536];
    const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
    if (p.relaying) {
      // The client's side only is read; its end leaves the server's side as it is.
      if (n > 0) p.kept.append(buffer, n);
      if (n <= 0) {
        ::close(p.client);
        p.client = -1;
      }
      return true;
    }
    if (n <= 0) return false;
    if (p.mute && from == p.client) {
      std::lock_guard<std::mutex> lock(mutex_);
      muted_.append(buffer, n);
      return true;
    }
    const std::size_t count = p.cutMidStream ? static_cast<std::size_t>(n + 1) / 2 : n;
    std::string data(buffer, count);
    if (from == p.server && RewriteFromServer) data = RewriteFromServer(data);
    if (!SendAll(to, data.data(), data.size())) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::string& log = from == p.client ? fromClients_ : fromServer_;
      if (log.size() < kCaptureMax) log += data;
    }
    if (from == p.client && OnClientBytes) {
      const std::string answer = OnClientBytes(std::string(buffer, count));
      if (!answer.empty() && !SendAll(from, answer.data(), answer.size())) return false;
    }
    if (p.cutMidStream) {
      Close(p, true);
      return true;
    }
    return true;
  }

  void Serve() {
    while (!stop_) {
      std::vector<pollfd> fds = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      for (const Pair& p : pairs_) {
        if (p.client < 0 || p.silent) continue;
        fds.push_back({p.client, POLLIN, 0});
        fds.push_back({p.server, static_cast<short>(p.deaf || p.relaying ? 0 : POLLIN), 0});
      }
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      if (fds[1].revents) {
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        std::vector<Command> commands;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          commands.swap(commands_);
        }
        for (const Command& c : commands) Apply(c);
        continue;  // the descriptors may have changed
      }
      if (fds[0].revents) Accept();
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        for (Pair& p : pairs_) {
          if (p.client < 0 || p.silent) continue;
          if (fds[i].fd == p.client || fds[i].fd == p.server) {
            const int other = fds[i].fd == p.client ? p.server : p.client;
            if (!Forward(p, fds[i].fd, other)) Close(p, false);
            break;
          }
        }
      }
    }
  }

  void Accept() {
    const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    if (holdNew_) {
      ++accepted_;
      Pair held;
      held.client = client;
      held.silent = true;
      pairs_.push_back(std::move(held));
      return;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Loopback(target_);
    if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(server);
      ::close(client);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lastAccepted_ = std::chrono::steady_clock::now();
    }
    ++accepted_;
    Pair pair;
    pair.client = client;
    pair.server = server;
    pairs_.push_back(std::move(pair));
  }

  std::uint16_t target_;
  std::uint16_t port_ = 0;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> holdNew_{false};
  std::atomic<int> accepted_{0};
  mutable std::mutex mutex_;
  std::vector<Command> commands_;
  static constexpr std::size_t kCaptureMax = std::size_t{64} << 20;
  std::string fromClients_, fromServer_, muted_;
  std::chrono::steady_clock::time_point lastAccepted_{};
  std::vector<Pair> pairs_;
  std::thread thread_;
};

}  // namespace testsupport
