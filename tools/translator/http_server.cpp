#include "tools/translator/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

// What the deadlines are checked against; they are seconds long, so a tenth is close enough.
constexpr int kSweepMs = 100;
// Descriptors kept back from connections: the pipelines' pipes, and the files the engine reads.
constexpr long kReservedDescriptors = 256;
// How long the rest of a refused body is read and dropped, so that the client, still sending,
// sees the refusal rather than a reset.
constexpr auto kDiscardTime = std::chrono::seconds(2);

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return std::string(text);
}

// Where the head ends: after an empty line, whether lines end in CRLF or a bare LF.
std::optional<std::size_t> HeadEnd(const std::string& data) {
  for (std::size_t at = data.find('\n'); at != std::string::npos; at = data.find('\n', at + 1)) {
    if (at + 1 < data.size() && data[at + 1] == '\n') return at + 2;
    if (at + 2 < data.size() && data[at + 1] == '\r' && data[at + 2] == '\n') return at + 3;
  }
  return std::nullopt;
}

// A chunked body from `at`: its bytes and where it ends, nothing while incomplete. Throws
// std::length_error past `bound` and std::invalid_argument on a malformed chunk size.
std::optional<std::pair<std::string, std::size_t>> Dechunk(const std::string& data, std::size_t at,
                                                           std::size_t bound) {
  std::string body;
  for (;;) {
    const std::size_t lineEnd = data.find('\n', at);
    if (lineEnd == std::string::npos) return std::nullopt;
    const std::string sizeText = Trim(std::string_view(data).substr(at, lineEnd - at));
    std::size_t size = 0, digits = 0;
    for (char c : sizeText) {
      if (c == ';') break;  // an extension
      const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : std::isxdigit(static_cast<unsigned char>(c))
                        ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                        : -1;
      if (d < 0 || ++digits > 8) throw std::invalid_argument("bad chunk size");
      size = size * 16 + static_cast<std::size_t>(d);
    }
    if (digits == 0) throw std::invalid_argument("bad chunk size");
    if (body.size() + size > bound) throw std::length_error("body too large");
    at = lineEnd + 1;
    if (size == 0) {
      // Trailer lines, then an empty one.
      for (;;) {
        const std::size_t end = data.find('\n', at);
        if (end == std::string::npos) return std::nullopt;
        const bool empty = Trim(std::string_view(data).substr(at, end - at)).empty();
        at = end + 1;
        if (empty) return std::make_pair(std::move(body), at);
      }
    }
    if (data.size() < at + size) return std::nullopt;
    body.append(data, at, size);
    at += size;
    const std::size_t end = data.find('\n', at);
    if (end == std::string::npos) return std::nullopt;
    at = end + 1;
  }
}

std::string Serialize(const HttpReply& reply, bool keepAlive) {
  std::string reason;
  for (char c : reply.reason) {
    if (c >= 0x20 && c < 0x7F) reason += c;
  }
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason + "\r\n";
  for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  out += reply.body;
  return out;
}

// As many descriptors as the system lets this process have: every connection is one.
long RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(limit.rlim_cur);
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [n, value] : headers) {
    if (n == name) return value;
  }
  return {};
}

int Listen(const std::string& address, int port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<std::uint16_t>(port));
  const std::string place = address + ":" + std::to_string(port);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    throw std::runtime_error("cannot listen on " + place + ": not an IPv4 address");
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // The kernel bounds the backlog by net.core.somaxconn (4096 on current kernels).
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      ::listen(fd, 4096) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    std::string reason = std::strerror(error);
    if (error == EADDRINUSE) reason += " (is another translator running there?)";
    throw std::runtime_error("cannot listen on " + place + ": " + reason);
  }
  return fd;
}

struct HttpServer::Impl {
  enum class Phase { kReading, kWorking, kWriting, kDiscarding };
  struct Connection {
    int fd = -1;
    std::uint64_t id = 0;
    Phase phase = Phase::kReading;
    std::string in, out;
    std::size_t written = 0;
    bool keepAlive = false;
    // After the answer: read and drop what the client still sends, then close.
    bool discardAfter = false;
    Clock::time_point deadline;
    Clock::time_point lastActive;
  };
  struct Job {
    int fd;
    std::uint64_t id;
    HttpRequest request;
    const HttpHandler* handler;
  };
  struct Done {
    int fd;
    std::uint64_t id;
    HttpReply reply;
  };

  Impl(HttpServer& server, int socket, std::map<std::string, HttpHandler> postHandlers,
       std::map<std::string, HttpHandler> getHandlers, HttpLimits bounds)
      : owner(server),
        listener(socket),
        posts(std::move(postHandlers)),
        gets(std::move(getHandlers)),
        limits(bounds),
        epoll(::epoll_create1(EPOLL_CLOEXEC)),
        wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (epoll < 0 || wake < 0) throw std::runtime_error("cannot watch connections");
    Watch(wake, EPOLLIN, EPOLL_CTL_ADD);
  }

  ~Impl() {
    if (listener >= 0) ::close(listener);
    for (auto& [fd, c] : connections) ::close(fd);
    ::close(epoll);
    ::close(wake);
  }

  void Watch(int fd, std::uint32_t events, int op) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    if (::epoll_ctl(epoll, op, fd, &e) != 0 && op == EPOLL_CTL_MOD && errno == ENOENT) {
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);  // left unwatched while its request was worked on
    }
  }

  void Wake() {
    const std::uint64_t one = 1;
    if (::write(wake, &one, sizeof one) < 0) {
      // Already signalled to the brim: the loop wakes anyway.
    }
  }

  void SetListening(bool on) {
    if (listener < 0 || on == listening) return;
    Watch(listener, EPOLLIN, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL);
    listening = on;
  }

  void Close(Connection& c) {
    ::close(c.fd);
    connections.erase(c.fd);
    counts.open = connections.size();
  }

  // The connection idle the longest, to make room; none when every one is busy with a request.
  Connection* OldestIdle() {
    Connection* oldest = nullptr;
    for (auto& [fd, c] : connections) {
      if (c.phase == Phase::kReading && c.in.empty() &&
          (oldest == nullptr || c.lastActive < oldest->lastActive)) {
        oldest = &c;
      }
    }
    return oldest;
  }

  // A connection just accepted: its request has the request deadline from now.
  void Adopt(int fd) {
    Connection c;
    c.fd = fd;
    c.id = ++lastId;
    c.lastActive = Clock::now();
    c.deadline = c.lastActive + limits.requestDeadline;
    connections.emplace(fd, std::move(c));
    ++counts.accepted;
    counts.open = connections.size();
    Watch(fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
  }

  void Accept() {
    for (int round = 0; round < 256; ++round) {
      if (connections.size() >= maxConnections) {
        if (Connection* idle = OldestIdle()) {
          ++counts.evicted;
          Close(*idle);
        } else {
          // Full of requests under way: the backlog holds the next until one ends.
          SetListening(false);
          return;
        }
      }
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
          return;
        // Out of descriptors or memory: the listener stays readable, so it is left unwatched for
        // a while instead of waking this thread over and over.
        ++counts.acceptPauses;
        SetListening(false);
        resumeAt = Clock::now() + std::chrono::milliseconds(kSweepMs);
        return;
      }
      Adopt(fd);
    }
  }

  void Answer(Connection& c, const HttpReply& reply, bool keepAlive) {
    c.keepAlive = keepAlive && !owner.stop_;
    c.out = Serialize(reply, c.keepAlive);
    c.written = 0;
    c.phase = Phase::kWriting;
    c.deadline = Clock::now() + limits.requestDeadline;
    Write(c);
  }

  // Answers at once and closes after; what is left of the request is read and dropped.
  void Refuse(Connection& c, int status, const std::string& reason) {
    c.in.clear();
    c.discardAfter = true;
    Answer(c, {status, reason, {}, reason + "\n"}, false);
  }

  void Write(Connection& c) {
    while (c.written < c.out.size()) {
      const ssize_t n =
          ::send(c.fd, c.out.data() + c.written, c.out.size() - c.written, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        Watch(c.fd, EPOLLOUT, EPOLL_CTL_MOD);
        return;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Close(c);
        return;
      }
      c.written += static_cast<std::size_t>(n);
    }
    c.out.clear();
    c.lastActive = Clock::now();
    if (c.discardAfter) {
      ::shutdown(c.fd, SHUT_WR);
      c.phase = Phase::kDiscarding;
      c.deadline = Clock::now() + kDiscardTime;
      Watch(c.fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
      return;
    }
    if (!c.keepAlive) {
      Close(c);
      return;
    }
    c.phase = Phase::kReading;
    c.deadline = Clock::now() + limits.idleDeadline;
    Watch(c.fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
    if (!c.in.empty()) Parse(c);  // a request sent before the answer came
  }

  void Read(Connection& c) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        Close(c);
        return;
      }
      c.lastActive = Clock::now();
      if (c.phase == Phase::kDiscarding) continue;
      if (c.in.empty()) c.deadline = c.lastActive + limits.requestDeadline;
      c.in.append(buffer, static_cast<std::size_t>(n));
      // A head never needs more; a body's bound is checked once its length is known.
      if (c.in.size() > limits.maxHead + limits.maxBody + 64) break;
      if (n < static_cast<ssize_t>(sizeof buffer)) break;
    }
    if (c.phase == Phase::kReading) Parse(c);
  }

  void Parse(Connection& c) {
    const std::optional<std::size_t> headEnd = HeadEnd(c.in);
    if (!headEnd) {
      if (c.in.size() > limits.maxHead) {
        ++counts.badRequests;
        Refuse(c, 431, "Request Header Fields Too Large");
      }
      return;
    }
    if (*headEnd > limits.maxHead) {
      ++counts.badRequests;
      Refuse(c, 431, "Request Header Fields Too Large");
      return;
    }
    HttpRequest request;
    std::string_view head(c.in.data(), *headEnd);
    std::vector<std::string> lines;
    while (!head.empty()) {
      const std::size_t end = head.find('\n');
      std::string line = Trim(head.substr(0, end));
      head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
      if (!line.empty() || !lines.empty()) lines.push_back(std::move(line));
    }
    const std::string& first = lines.empty() ? std::string() : lines.front();
    const std::size_t space1 = first.find(' ');
    const std::size_t space2 = first.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos) {
      ++counts.badRequests;
      Refuse(c, 400, "Bad Request");
      return;
    }
    request.method = first.substr(0, space1);
    request.path = first.substr(space1 + 1, space2 - space1 - 1);
    const std::string version = first.substr(space2 + 1);
    request.http11 = version == "HTTP/1.1";
    std::optional<std::size_t> length;
    bool chunked = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (lines[i].empty()) continue;
      const std::size_t colon = lines[i].find(':');
      if (colon == std::string::npos || colon == 0) {
        ++counts.badRequests;
        Refuse(c, 400, "Bad Request");
        return;
      }
      std::string name = Lower(lines[i].substr(0, colon));
      std::string value = Trim(std::string_view(lines[i]).substr(colon + 1));
      if (name == "content-length") {
        std::size_t n = 0;
        bool digits = !value.empty() && value.size() <= 18;
        for (char ch : value) digits = digits && std::isdigit(static_cast<unsigned char>(ch));
        for (char ch : value) n = digits ? n * 10 + static_cast<std::size_t>(ch - '0') : 0;
        if (!digits || (length && *length != n)) {
          ++counts.badRequests;
          Refuse(c, 400, "Bad Request");
          return;
        }
        length = n;
      } else if (name == "transfer-encoding") {
        chunked = Lower(value).find("chunked") != std::string::npos;
      }
      request.headers.emplace_back(std::move(name), std::move(value));
    }
    std::size_t consumed = *headEnd;
    if (chunked) {
      try {
        auto body = Dechunk(c.in, *headEnd, limits.maxBody);
        if (!body) return;
        request.body = std::move(body->first);
        consumed = body->second;
      } catch (const std::length_error&) {
        ++counts.tooLarge;
        Refuse(c, 413, "Payload Too Large");
        return;
      } catch (const std::invalid_argument&) {
        ++counts.badRequests;
        Refuse(c, 400, "Bad Request");
        return;
      }
    } else if (length) {
      if (*length > limits.maxBody) {
        ++counts.tooLarge;
        Refuse(c, 413, "Payload Too Large");
        return;
      }
      if (c.in.size() < *headEnd + *length) return;
      request.body = c.in.substr(*headEnd, *length);
      consumed += *length;
    }
    c.in.erase(0, consumed);
    const std::string connection = Lower(request.Header("connection"));
    const bool keepAlive = request.http11 ? connection.find("close") == std::string::npos
                                          : connection.find("keep-alive") != std::string::npos;
    Dispatch(c, std::move(request), keepAlive);
  }

  void Dispatch(Connection& c, HttpRequest request, bool keepAlive) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (auto it = gets.find(request.path); get && it != gets.end()) {
      HttpReply reply;
      it->second(request, reply);
      if (request.method == "HEAD") reply.body.clear();
      Answer(c, reply, keepAlive);
      return;
    }
    auto post = posts.find(request.path);
    if (request.method == "POST" && post != posts.end()) {
      c.phase = Phase::kWorking;
      c.keepAlive = keepAlive;
      // Unwatched meanwhile (a reset would be reported over and over); a client that hung up is
      // found when the answer is written.
      ::epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
      {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back({c.fd, c.id, std::move(request), &post->second});
        ++outstanding;
      }
      jobReady.notify_one();
      return;
    }
    if (post != posts.end() || gets.count(request.path) != 0) {
      Answer(c, {405, "Method Not Allowed", {}, "Method Not Allowed\n"}, keepAlive);
    } else {
      Answer(c, {404, "Not Found", {}, "Not Found\n"}, keepAlive);
    }
  }

  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        jobReady.wait(lock, [this] { return !jobs.empty() || workersEnd; });
        if (jobs.empty()) return;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      Done done{job.fd, job.id, {}};
      try {
        (*job.handler)(job.request, done.reply);
      } catch (const std::exception& e) {
        done.reply = {500, "Internal Server Error", {}, std::string(e.what()) + "\n"};
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        finished.push_back(std::move(done));
      }
      Wake();
    }
  }

  void TakeFinished() {
    std::deque<Done> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready.swap(finished);
      outstanding -= ready.size();
    }
    for (Done& done : ready) {
      auto it = connections.find(done.fd);
      if (it == connections.end() || it->second.id != done.id) continue;
      Answer(it->second, done.reply, it->second.keepAlive);
    }
  }

  void Sweep() {
    const auto now = Clock::now();
    std::vector<int> late;
    for (auto& [fd, c] : connections) {
      if (c.phase != Phase::kWorking && now >= c.deadline) late.push_back(fd);
    }
    for (int fd : late) {
      Connection& c = connections.at(fd);
      if (c.phase == Phase::kReading && !c.in.empty()) {
        ++counts.deadlines;
        c.in.clear();
        Answer(c, {408, "Request Timeout", {}, "Request Timeout\n"}, false);
      } else {
        Close(c);
      }
    }
    if (!listening && listener >= 0 && now >= resumeAt && connections.size() < maxConnections)
      SetListening(true);
  }

  // Takes what is queued at the listener (a client there was promised an answer), stops
  // listening, and lets the connections that hold no request go.
  void BeginDrain() {
    if (listener < 0) return;
    SetListening(false);
    for (;;) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) break;
      Adopt(fd);
    }
    ::close(listener);
    listener = -1;
    drainUntil = Clock::now() + limits.drainBound;
    std::vector<int> idle;
    for (auto& [fd, c] : connections) {
      if (c.phase == Phase::kReading && c.in.empty() && c.id <= lastIdBeforeDrain) {
        idle.push_back(fd);
      }
      c.keepAlive = false;
    }
    for (int fd : idle) Close(connections.at(fd));
  }

  void Run() {
    maxConnections = static_cast<std::size_t>(
        std::max(16L, RaiseDescriptorLimit() - kReservedDescriptors));
    for (int i = 0; i < std::max(1, limits.workers); ++i) workers.emplace_back([this] { Work(); });
    SetListening(true);
    auto lastSweep = Clock::now();
    epoll_event events[256];
    for (;;) {
      if (owner.stop_ && listener >= 0) {
        lastIdBeforeDrain = lastId;
        BeginDrain();
      }
      if (listener < 0) {
        std::size_t busy = 0;
        {
          std::lock_guard<std::mutex> lock(mutex);
          busy = outstanding;
        }
        if ((connections.empty() && busy == 0) || Clock::now() >= drainUntil) break;
      }
      const int n = ::epoll_wait(epoll, events, 256, kSweepMs);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake) {
          std::uint64_t count;
          while (::read(wake, &count, sizeof count) > 0) {
          }
          TakeFinished();
          continue;
        }
        if (fd == listener) {
          Accept();
          continue;
        }
        auto it = connections.find(fd);
        if (it == connections.end()) continue;
        Connection& c = it->second;
        if (c.phase == Phase::kWriting && (events[i].events & EPOLLOUT)) {
          Write(c);
        } else if (c.phase == Phase::kReading || c.phase == Phase::kDiscarding) {
          Read(c);
        } else if (events[i].events & (EPOLLERR | EPOLLHUP)) {
          Close(c);
        }
      }
      if (Clock::now() - lastSweep >= std::chrono::milliseconds(kSweepMs)) {
        lastSweep = Clock::now();
        Sweep();
      } else if (!listening && listener >= 0 && connections.size() < maxConnections &&
                 Clock::now() >= resumeAt) {
        SetListening(true);
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      workersEnd = true;
    }
    jobReady.notify_all();
    for (std::thread& t : workers) t.join();
    workers.clear();
  }

  HttpServer& owner;
  int listener;
  std::map<std::string, HttpHandler> posts, gets;
  const HttpLimits limits;
  int epoll, wake;
  bool listening = false;
  Clock::time_point resumeAt{}, drainUntil{};
  std::size_t maxConnections = 1024;
  std::uint64_t lastId = 0, lastIdBeforeDrain = 0;
  std::unordered_map<int, Connection> connections;

  std::mutex mutex;  // guards what the workers share with the loop, and `counts` for readers
  std::condition_variable jobReady;
  std::deque<Job> jobs;
  std::deque<Done> finished;
  std::size_t outstanding = 0;
  bool workersEnd = false;
  std::vector<std::thread> workers;
  Counts counts;
};

HttpServer::HttpServer(const std::string& address, int port,
                       std::map<std::string, HttpHandler> posts,
                       std::map<std::string, HttpHandler> gets, HttpLimits limits)
    : impl_(new Impl(*this, Listen(address, port), std::move(posts), std::move(gets), limits)) {}

HttpServer::~HttpServer() {
  delete impl_;
}

void HttpServer::Run() {
  impl_->Run();
}

void HttpServer::Stop() {
  stop_ = true;
  impl_->Wake();
}

HttpServer::Counts HttpServer::Snapshot() const {
  return impl_->counts;
}

}  // namespace standin
