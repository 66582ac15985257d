#pragma once

// Where one account's connection stands, from the first attempt to live, with every way from
// one phase to the next in one place.
//
// After sign-in two questions go to the archive at once: the check (were the messages written
// on a lost connection taken?) and the catch-up (what came while away?). Nothing is written
// while the check runs, and live messages wait while the catch-up runs; either may end first.
// A take-down ends in kIdle through kClosing, during which the connection goes on as it was
// until it is gone: what the server sent before it went is handled as before.

namespace xmpp {

enum class Phase {
  kIdle,        // no connection; the next attempt waits its turn, or none comes
  kConnecting,  // an attempt, until signed in or given up
  kSyncing,     // signed in; checking and catching up
  kChecking,    // signed in; checking, caught up
  kCatchingUp,  // signed in; catching up, writing
  kLive,        // signed in; writing, and every message goes straight on
  kClosing,     // taken down, until the connection is gone
};

// Signed in and not taken down.
inline bool IsSignedIn(Phase phase) {
  return phase == Phase::kSyncing || phase == Phase::kChecking || phase == Phase::kCatchingUp ||
         phase == Phase::kLive;
}

class ConnectionPhase {
 public:
  Phase Now() const { return phase_; }

  void Connecting();
  void SignedIn(bool checking, bool catchingUp);
  void CheckDone();
  void CatchUpDone();
  void Closing();
  void Gone();

  // What the phase allows; while closing, what the phase before it allowed.
  bool SignedIn() const { return IsSignedIn(Effective()); }
  bool Checking() const {
    return Effective() == Phase::kSyncing || Effective() == Phase::kChecking;
  }
  bool CatchingUp() const {
    return Effective() == Phase::kSyncing || Effective() == Phase::kCatchingUp;
  }

 private:
  Phase Effective() const { return phase_ == Phase::kClosing ? beforeClosing_ : phase_; }
  Phase& Current() { return phase_ == Phase::kClosing ? beforeClosing_ : phase_; }

  Phase phase_ = Phase::kIdle;
  Phase beforeClosing_ = Phase::kIdle;
};

}  // namespace xmpp
