#include "tools/translator/http_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace standin {
namespace {

constexpr std::size_t kMaxHead = 1u << 20;
constexpr std::size_t kMaxBody = 64u << 20;
constexpr int kSilenceMs = 10000;

// Reads what has come, waiting at most the silence bound; false at the end, an error or silence.
bool ReadSome(int fd, std::string& into) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kSilenceMs) != 1) return false;
  char buffer[65536];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool SendAll(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void Answer(int fd, const HttpReply& reply) {
  std::string reason;
  for (char c : reply.reason) {
    if (c >= 0x20 && c < 0x7F) reason += c;
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason + "\r\n";
  for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
  head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
  SendAll(fd, head + reply.body);
}

}  // namespace

int ListenOnLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + reason);
  }
  return fd;
}

HttpServer::HttpServer(int port, std::map<std::string, HttpHandler> documents)
    : listener_(ListenOnLoopback(port)), documents_(std::move(documents)) {}

HttpServer::~HttpServer() {
  ::close(listener_);
}

void HttpServer::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 200) != 1) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    ++serving_;
    std::thread([this, connection] {
      Serve(connection);
      ::close(connection);
      --serving_;
    }).detach();
  }
  // The requests under way end within their bounds; the server goes after them.
  while (serving_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void HttpServer::Serve(int fd) {
  std::string data;
  std::size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxHead || !ReadSome(fd, data)) return;
  }
  const std::string head = data.substr(0, headEnd);
  std::string body = data.substr(headEnd + 4);
  const std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  const std::size_t space1 = requestLine.find(' ');
  const std::size_t space2 = requestLine.find(' ', space1 + 1);
  const std::string method = requestLine.substr(0, space1);
  const std::string path =
      space1 == std::string::npos ? "" : requestLine.substr(space1 + 1, space2 - space1 - 1);
  std::size_t length = 0;
  for (std::size_t at = lineEnd; at != std::string::npos && at < head.size();) {
    const std::size_t next = head.find("\r\n", at + 2);
    const std::string header =
        head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    const std::size_t colon = header.find(':');
    if (colon != std::string::npos && Lower(header.substr(0, colon)) == "content-length") {
      length = std::strtoull(header.c_str() + colon + 1, nullptr, 10);
    }
    at = next;
  }
  auto document = documents_.find(path);
  if (method != "POST" || document == documents_.end()) {
    Answer(fd, {404, "Not Found", {}, {}});
    return;
  }
  if (length > kMaxBody) {
    Answer(fd, {413, "Payload Too Large", {}, {}});
    return;
  }
  while (body.size() < length) {
    if (!ReadSome(fd, body)) return;
  }
  body.resize(length);
  HttpReply reply;
  document->second(body, reply);
  Answer(fd, reply);
}

}  // namespace standin
