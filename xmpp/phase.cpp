#include "xmpp/phase.h"

namespace xmpp {

void ConnectionPhase::Connecting() {
  phase_ = Phase::kConnecting;
}

void ConnectionPhase::SignedIn(bool checking, bool catchingUp) {
  phase_ = checking ? (catchingUp ? Phase::kSyncing : Phase::kChecking)
                    : (catchingUp ? Phase::kCatchingUp : Phase::kLive);
}

// The archive's answers still come while closing, and move the phase the connection had.
void ConnectionPhase::CheckDone() {
  Phase& phase = Current();
  if (phase == Phase::kSyncing) phase = Phase::kCatchingUp;
  if (phase == Phase::kChecking) phase = Phase::kLive;
}

// A catch-up may end twice: early, when too many live messages wait, and at its last page.
void ConnectionPhase::CatchUpDone() {
  Phase& phase = Current();
  if (phase == Phase::kSyncing) phase = Phase::kChecking;
  if (phase == Phase::kCatchingUp) phase = Phase::kLive;
}

void ConnectionPhase::Closing() {
  if (phase_ == Phase::kIdle || phase_ == Phase::kClosing) return;
  beforeClosing_ = phase_;
  phase_ = Phase::kClosing;
}

void ConnectionPhase::Gone() {
  phase_ = beforeClosing_ = Phase::kIdle;
}

}  // namespace xmpp
