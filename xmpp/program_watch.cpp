#include "xmpp/program_watch.h"

#include <algorithm>

namespace xmpp {

ProgramWatch::ProgramWatch(bool restartOnCleanEnd, Duration firstWait)
    : restartOnCleanEnd_(restartOnCleanEnd), firstWait_(firstWait), wait_(firstWait) {}

void ProgramWatch::Started(Clock::time_point now) {
  startedAt_ = now;
  state_ = State::kRunning;
}

ProgramWatch::Decision ProgramWatch::Ended(Clock::time_point now, bool failed) {
  if (!failed && !restartOnCleanEnd_) {
    state_ = State::kNotStarted;
    return {state_};
  }
  const Duration ran = std::chrono::duration_cast<Duration>(now - startedAt_);
  quickEnds_ = ran < QuickBound() ? quickEnds_ + 1 : 0;
  // It served a good while: whatever made it end now is not what made it end before.
  if (ran >= firstWait_ * 60) wait_ = firstWait_;
  if (quickEnds_ >= kQuickEndsToStop) {
    state_ = State::kStopped;
    return {state_};
  }
  const Duration wait = wait_;
  wait_ = std::min(wait_ * 2, firstWait_ * 30);
  state_ = State::kRestarting;
  return {state_, wait};
}

void ProgramWatch::Reset() {
  quickEnds_ = 0;
  wait_ = firstWait_;
}

}  // namespace xmpp
