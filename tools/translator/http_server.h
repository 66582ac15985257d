#pragma once

// The stand-in translator's HTTP server. One thread watches every connection (epoll), so that a
// slow or idle client costs a descriptor and a few bytes, never a thread; the requests that take
// time (a translation waits for a pipeline) go to a bounded pool of workers. Every request has a
// deadline for its head and body, and a connection kept open between requests one for its
// silence. Bodies have a bound, said with 413 as soon as the length is known.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

struct HttpRequest {
  std::string method, path;
  bool http11 = false;
  // Names in lower case, values without the blanks around them.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that (lower-case) name; empty when there is none.
  std::string Header(std::string_view name) const;
};

struct HttpReply {
  int status = 200;
  std::string reason = "OK";  // printable ASCII; nothing else goes on the status line
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};
using HttpHandler = std::function<void(const HttpRequest& request, HttpReply& reply)>;

struct HttpLimits {
  std::size_t maxBody = 64u << 10;
  std::size_t maxHead = 16u << 10;
  // From a request's first byte (or the connection's opening) to its last.
  std::chrono::milliseconds requestDeadline{10000};
  // Silence allowed between two requests on one connection.
  std::chrono::milliseconds idleDeadline{5000};
  int workers = 128;
  // How long a stopping server may take over the requests it already has.
  std::chrono::milliseconds drainBound{30000};
};

// A listening socket on `address:port` (a dotted IPv4 address), with a backlog that takes a
// crowd arriving at once. It takes TIME_WAIT leftovers over but never shares the port with a
// live listener: a second server there would silently get half the connections. Throws
// std::runtime_error, with the system's reason, when it cannot.
int Listen(const std::string& address, int port);

class HttpServer {
 public:
  // `posts` are answered by the workers; `gets` on the watching thread, so they must be quick
  // (the health and metrics documents).
  HttpServer(const std::string& address, int port, std::map<std::string, HttpHandler> posts,
             std::map<std::string, HttpHandler> gets, HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves until Stop(). Then it drains: takes the connections already queued, stops listening,
  // answers every request it holds and closes each connection after its answer; idle ones at
  // once.
  void Run();
  // May be called from any thread.
  void Stop();
  // True from Stop() on: the health document says so.
  bool Stopping() const { return stop_; }

  // Counts for the metrics document; read on the watching thread only (from a GET handler).
  struct Counts {
    std::uint64_t open = 0, accepted = 0, tooLarge = 0, badRequests = 0, deadlines = 0,
                  evicted = 0, acceptPauses = 0;
  };
  Counts Snapshot() const;

 private:
  struct Impl;
  Impl* impl_;
  std::atomic<bool> stop_{false};
};

}  // namespace standin
