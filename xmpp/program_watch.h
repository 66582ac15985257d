#pragma once

// What the launcher does when a program it started ends: start it again after a wait that
// doubles from the first (1 s) to thirty times that, and falls back to the first after a run of
// sixty times that; or leave it stopped once it has ended soon after its start five times in a
// row, since starting it again would only repeat that. Without
// any toolkit: each view of the launcher (the tray here, the notification area on Windows) only
// runs the timers and says what the watch decided.

#include <chrono>
#include <string>

namespace xmpp {

class ProgramWatch {
 public:
  using Clock = std::chrono::steady_clock;
  using Duration = std::chrono::milliseconds;

  enum class State { kNotStarted, kRunning, kRestarting, kStopped };
  struct Decision {
    State state;         // kRestarting (after `wait`), kStopped or kNotStarted (left alone)
    Duration wait{0};
  };

  // `restartOnCleanEnd`: a program that ends by itself without failing is started again too (a
  // server); otherwise only one that failed is (a window the user may close).
  explicit ProgramWatch(bool restartOnCleanEnd, Duration firstWait = std::chrono::seconds(1));

  void Started(Clock::time_point now);
  // The program ended; `failed`: by a signal, a crash or a status other than 0.
  Decision Ended(Clock::time_point now, bool failed);
  // The user starts it again by hand: the count of quick ends begins anew.
  void Reset();

  State Current() const { return state_; }
  Duration NextWait() const { return wait_; }
  // How many times in a row the program ended soon after its start.
  int QuickEnds() const { return quickEnds_; }

  static constexpr int kQuickEndsToStop = 5;
  // An end this soon after the start (ten times the first wait) counts as quick.
  Duration QuickBound() const { return firstWait_ * 10; }

 private:
  bool restartOnCleanEnd_;
  Duration firstWait_, wait_;
  Clock::time_point startedAt_{};
  int quickEnds_ = 0;
  State state_ = State::kNotStarted;
};

}  // namespace xmpp
