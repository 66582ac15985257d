#pragma once

// The stand-in translator's HTTP server on 127.0.0.1: POST requests to a few documents, one
// request a connection (the translation client speaks HTTP/1.0 and opens a connection for every
// request), each on a thread of its own, answered with the status line the handler chooses, its
// reason phrase included, and closed. Bounds: headers 1 MiB, a body 64 MiB, 10 s of silence.

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace standin {

struct HttpReply {
  int status = 200;
  std::string reason = "OK";  // printable ASCII; nothing else goes on the status line
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};
using HttpHandler = std::function<void(const std::string& body, HttpReply& reply)>;

// A socket listening on 127.0.0.1:port, shared with any other listener there (a server started
// again must be able to listen while its old connections wait out TIME_WAIT). Throws
// std::runtime_error, with the system's reason, when it cannot.
int ListenOnLoopback(int port);

class HttpServer {
 public:
  // Listens on 127.0.0.1:port (ListenOnLoopback).
  HttpServer(int port, std::map<std::string, HttpHandler> documents);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Accepts and serves until Stop(); then waits for the requests under way.
  void Run();
  void Stop() { stop_ = true; }

 private:
  void Serve(int connection);

  int listener_ = -1;
  std::map<std::string, HttpHandler> documents_;
  std::atomic<bool> stop_{false};
  std::atomic<int> serving_{0};
};

}  // namespace standin
