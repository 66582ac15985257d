#pragma once

// A scripted HTTP server for tests, on 127.0.0.1 at a port the system picks. Each connection: it
// reads the request (headers and Content-Length body), records it, writes the reply and closes.
// Scripted: one connection per reply given, in order, waiting at most a few seconds for each.
// With a handler: the handler makes each reply from the request, until the object goes.
// With a streamer: the streamer writes each reply in pieces for as long as it likes; a write
// answers false once the client has gone or the server is being destroyed.
#ifndef _WIN32
#include <poll.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "testsupport/net_util.h"

namespace testsupport {

#ifdef _WIN32
constexpr int kNoSignal = 0;
constexpr int kShutWrite = SD_SEND;
inline bool WaitSocket(SocketHandle s, short events, int ms) {
  WSAPOLLFD p{s, events, 0};
  return WSAPoll(&p, 1, ms) == 1;
}
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutWrite = SHUT_WR;
inline bool WaitSocket(SocketHandle s, short events, int ms) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, ms) == 1;
}
#endif

class HttpTestServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  using Write = std::function<bool(std::string_view piece)>;
  using Streamer = std::function<void(const std::string& request, const Write& write)>;

  explicit HttpTestServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    Open();
  }
  explicit HttpTestServer(Handler handler) : handler_(std::move(handler)) { Open(); }
  // At a port of the caller's choosing (a fixed one, in a network of the test's own).
  HttpTestServer(Handler handler, std::uint16_t port) : handler_(std::move(handler)) { Open(port); }
  explicit HttpTestServer(Streamer streamer) : streamer_(std::move(streamer)) { Open(); }
  ~HttpTestServer() {
    stop_ = true;
    thread_.join();
    CloseSocket(listen_);
  }

  std::uint16_t Port() const { return port_; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Open(std::uint16_t fixedPort = 0) {
    StartSockets();
#ifdef SOCK_CLOEXEC
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // not for the tests' children
#else
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
#endif
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(fixedPort);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  void Serve() {
    const bool endless = handler_ || streamer_;
    for (std::size_t served = 0; endless || served < replies_.size(); ++served) {
      SocketHandle fd = kNoSocket;
      for (int waited = 0; fd == kNoSocket && (endless || waited < 100) && !stop_; ++waited) {
        if (WaitSocket(listen_, POLLIN, 50)) fd = ::accept(listen_, nullptr, nullptr);
      }
      if (fd == kNoSocket) return;
      std::string request = ReadRequest(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const Write write = [this, fd](std::string_view piece) {
        while (!piece.empty() && !stop_) {
          if (!WaitSocket(fd, POLLOUT, 200)) continue;
          // Writable: a send of at most the socket's room does not block.
          const auto n =
              ::send(fd, piece.data(), static_cast<int>(std::min<std::size_t>(piece.size(), 4096)),
                     kNoSignal);
          if (n <= 0) return false;
          piece.remove_prefix(static_cast<std::size_t>(n));
        }
        return !stop_;
      };
      if (streamer_) {
        streamer_(request, write);
      } else {
        write(handler_ ? handler_(request) : replies_[served]);
      }
      ::shutdown(fd, kShutWrite);
      char drain[256];
      while (WaitSocket(fd, POLLIN, 200) && ::recv(fd, drain, sizeof drain, 0) > 0) {
      }
      CloseSocket(fd);
    }
  }

  static std::string ReadRequest(SocketHandle fd) {
    std::string data;
    char buf[4096];
    for (int rounds = 0; rounds < 1000; ++rounds) {
      const std::size_t end = data.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t length = 0;
        const std::size_t at = data.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = std::stoul(data.substr(at + 16));
        if (data.size() >= end + 4 + length) return data;
      }
      if (!WaitSocket(fd, POLLIN, 2000)) return data;
      const auto n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return data;
      data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
  }

  std::vector<std::string> replies_;
  Handler handler_;
  Streamer streamer_;
  SocketHandle listen_ = kNoSocket;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace testsupport
