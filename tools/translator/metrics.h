#pragma once

// What the translator has done, in Prometheus' text format for the balancer's and the office's
// monitoring: requests and their latency by language pair, what the HTTP server refused, and
// how often pipelines were started (beyond their number, restarts after a failure).

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tools/translator/http_server.h"

namespace standin {

class Metrics {
 public:
  // Upper bounds of the latency histogram's buckets, in seconds.
  static constexpr std::array<double, 13> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                     0.25,  0.5,    1,     2.5,  5,     10};

  // A request answered: the language it was taken to be in and the target (either empty where
  // unknown), its status, and how long it took.
  void Record(const std::string& from, const std::string& to, int status, double seconds);

  std::string Text(const HttpServer::Counts& server,
                   const std::map<std::string, int>& pipelineStarts) const;

 private:
  struct Pair {
    std::map<int, std::uint64_t> byStatus;
    std::array<std::uint64_t, kBounds.size()> buckets{};
    double sum = 0;
    std::uint64_t count = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Pair> pairs_;
};

}  // namespace standin
