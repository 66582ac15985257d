#pragma once

// Load on an HTTP service as Parlavant's translation client makes it: one connection per
// request, the request written whole, the reply read until the server closes. Closed loop (so
// many clients, each sending again once answered) or open loop (requests at a fixed rate,
// latency counted from when each was due, so that a stalled server is not excused by the
// requests it kept from being sent). POSIX only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct LoadResult {
  std::vector<double> latencyMs;   // of the requests answered 200
  std::map<int, int> statuses;     // how many got each status; 0: no reply at all
  double seconds = 0;

  int Failed() const {
    int failed = 0;
    for (const auto& [status, n] : statuses) failed += status == 200 ? 0 : n;
    return failed;
  }
  double PerSecond() const {
    return seconds > 0 ? static_cast<double>(latencyMs.size()) / seconds : 0;
  }
  // The q-quantile (0.5, 0.99) of the latencies, in ms; 0 when there are none.
  double Quantile(double q) const {
    if (latencyMs.empty()) return 0;
    std::vector<double> sorted = latencyMs;
    std::sort(sorted.begin(), sorted.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
  }
  void Add(const LoadResult& other) {
    latencyMs.insert(latencyMs.end(), other.latencyMs.begin(), other.latencyMs.end());
    for (const auto& [status, n] : other.statuses) statuses[status] += n;
    seconds += other.seconds;
  }
};

// A POST of `body` to `path` as HTTP/1.0, the way the client sends it.
inline std::string FormPost(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One exchange on a connection of its own: the reply's status, 0 when none came within
// `timeoutMs` or the connection failed.
inline int Exchange(std::uint16_t port, const std::string& request, int timeoutMs = 30000,
                    std::string* reply = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string received;
  int status = 0;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    bool sent = true;
    for (std::size_t at = 0; sent && at < request.size();) {
      const ssize_t n = ::send(fd, request.data() + at, request.size() - at, MSG_NOSIGNAL);
      sent = n > 0;
      at += sent ? static_cast<std::size_t>(n) : 0;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[16384];
    while (sent) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (n == 0 && received.compare(0, 5, "HTTP/") == 0 && received.size() > 12)
          status = std::atoi(received.c_str() + 9);
        break;
      }
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (reply != nullptr) *reply = std::move(received);
  return status;
}

// `clients` threads, each sending `next(i)` (i counts that client's requests) until `stop` is
// set or `perClient` requests are done.
inline LoadResult ClosedLoop(std::uint16_t port, int clients, int perClient,
                             const std::function<std::string(int client, int i)>& next,
                             const std::atomic<bool>* stop = nullptr, int timeoutMs = 30000) {
  std::vector<LoadResult> results(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      LoadResult& mine = results[static_cast<std::size_t>(c)];
      for (int i = 0; i < perClient && (stop == nullptr || !*stop); ++i) {
        const auto begun = std::chrono::steady_clock::now();
        const int status = Exchange(port, next(c, i), timeoutMs);
        ++mine.statuses[status];
        if (status == 200) {
          mine.latencyMs.push_back(std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - begun)
                                       .count());
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  LoadResult all;
  for (const LoadResult& r : results) all.Add(r);
  all.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return all;
}

// `count` requests at `perSecond`, sent by up to `senders` threads; a request's latency runs
// from the moment it was due.
inline LoadResult OpenLoop(
    double perSecond, int count, int senders,
    const std::function<int(int i)>& send /* the status of request i, sent on its own */) {
  using Clock = std::chrono::steady_clock;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::pair<int, Clock::time_point>> due;
  bool done = false;
  LoadResult all;
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&] {
      for (;;) {
        std::pair<int, Clock::time_point> job;
        {
          std::unique_lock<std::mutex> lock(mutex);
          ready.wait(lock, [&] { return !due.empty() || done; });
          if (due.empty()) return;
          job = due.front();
          due.pop_front();
        }
        const int status = send(job.first);
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - job.second).count();
        std::lock_guard<std::mutex> lock(mutex);
        ++all.statuses[status];
        if (status == 200) all.latencyMs.push_back(ms);
      }
    });
  }
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(i / perSecond));
    std::this_thread::sleep_until(at);
    {
      std::lock_guard<std::mutex> lock(mutex);
      due.emplace_back(i, at);
    }
    ready.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ready.notify_all();
  for (std::thread& t : threads) t.join();
  all.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return all;
}

}  // namespace testsupport
