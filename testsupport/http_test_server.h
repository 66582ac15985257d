#pragma once

// A scripted HTTP server for tests, on 127.0.0.1 at a port the system picks. Each connection: it
// reads the request (headers and Content-Length body), records it, writes the reply and closes.
// Scripted: one connection per reply given, in order, waiting at most a few seconds for each.
// With a handler: the handler makes each reply from the request, until the object goes.
// With a streamer: the streamer writes each reply in pieces for as long as it likes; a write
// answers false once the client has gone or the server is being destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

class HttpTestServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  using Write = std::function<bool(std::string_view piece)>;
  using Streamer = std::function<void(const std::string& request, const Write& write)>;

  explicit HttpTestServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    Open();
  }
  explicit HttpTestServer(Handler handler) : handler_(std::move(handler)) { Open(); }
  explicit HttpTestServer(Streamer streamer) : streamer_(std::move(streamer)) { Open(); }
  ~HttpTestServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }

  std::uint16_t Port() const { return port_; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Open() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
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
      int fd = -1;
      for (int waited = 0; fd < 0 && (endless || waited < 100) && !stop_; ++waited) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) fd = ::accept(listen_, nullptr, nullptr);
      }
      if (fd < 0) return;
      std::string request = ReadRequest(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      const Write write = [this, fd](std::string_view piece) {
        while (!piece.empty() && !stop_) {
          pollfd p{fd, POLLOUT, 0};
          if (::poll(&p, 1, 200) != 1) continue;
          const ssize_t n = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
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
      ::shutdown(fd, SHUT_WR);
      char drain[256];
      pollfd p{fd, POLLIN, 0};
      while (::poll(&p, 1, 200) == 1 && ::read(fd, drain, sizeof drain) > 0) {
      }
      ::close(fd);
    }
  }

  static std::string ReadRequest(int fd) {
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
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) != 1) return data;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return data;
      data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
  }

  std::vector<std::string> replies_;
  Handler handler_;
  Streamer streamer_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace testsupport
