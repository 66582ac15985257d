#pragma once

// Apertium pipelines kept running between requests. Starting one is some ten processes loading
// their dictionaries (a tenth of a second and more); feeding a running one a sentence takes a few
// milliseconds. Every stage runs in null-flush mode: a NUL in its input makes it finish what it
// has and pass the NUL on.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// One stage: a program and its arguments.
using Command = std::vector<std::string>;

// The stages of a mode file: split at "|" and into words as the shell would (quotes, backslash),
// "$1" filled with the generator's option ("-n": unknown words unmarked, as `apertium -u` does),
// "$2" with nothing (the tagger's option), and "-z" added after each program that lacks it.
std::vector<Command> ModeCommands(std::string_view modeText);

class WarmPipeline {
 public:
  // Nothing is started until the first request. A request that has neither been answered nor
  // made progress for `hangBound` is given up and the pipeline killed.
  WarmPipeline(std::vector<Command> stages, std::chrono::milliseconds hangBound);
  ~WarmPipeline();
  WarmPipeline(const WarmPipeline&) = delete;
  WarmPipeline& operator=(const WarmPipeline&) = delete;

  // Feeds stream-format text (no NULs) through and returns the pipeline's answer to it, in the
  // order the calls came. On failure returns false with `error` set; the next call starts a
  // fresh pipeline.
  bool Run(std::string_view stream, std::string& output, std::string& error);

  // How often the stages were started, and their process group (0 while none runs).
  int Starts() const;
  pid_t ProcessGroup() const;
  // How many requests have come, whether served, being served or waiting.
  std::uint64_t Arrived() const;

 private:
  bool StartLocked(std::string& error);
  bool AliveLocked();
  void StopLocked();
  bool Exchange(std::string_view stream, std::string& output, std::string& error);

  const std::vector<Command> stages_;
  const std::chrono::milliseconds hangBound_;
  const std::uint64_t nonce_;

  mutable std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t nextTicket_ = 0;
  std::uint64_t serving_ = 0;

  // Touched only by the request being served.
  std::vector<pid_t> pids_;
  pid_t group_ = 0;
  int input_ = -1;
  int output_ = -1;
  int starts_ = 0;
  std::uint64_t requests_ = 0;
};

// Up to `perMode` pipelines for each mode, started as the requests that wait for them need them.
// The requests of a mode wait in one queue: the oldest takes the first pipeline free, so a
// pipeline with a stalled stage holds only the request inside it.
class PipelinePool {
 public:
  using CommandsOf = std::function<std::vector<Command>(const std::string& mode)>;
  PipelinePool(CommandsOf commandsOf, std::chrono::milliseconds hangBound, int perMode = 1);

  bool Run(const std::string& mode, std::string_view stream, std::string& output,
           std::string& error);

  // How often each mode's pipelines were started, all of them together.
  std::map<std::string, int> Starts() const;

 private:
  // A request waiting for a pipeline; the one that frees a pipeline hands it over, waking only
  // that request (not every waiter, which under a crowd cost more than the translations).
  struct Waiter {
    std::condition_variable handed;
    std::size_t pipeline = 0;
    bool ready = false;
  };
  struct Mode {
    std::vector<std::unique_ptr<WarmPipeline>> pipelines;
    std::vector<bool> busy;
    std::deque<Waiter*> waiting;  // oldest first
  };

  CommandsOf commandsOf_;
  const std::chrono::milliseconds hangBound_;
  const int perMode_;
  mutable std::mutex mutex_;
  std::map<std::string, Mode> modes_;
};

}  // namespace standin
