#include "xmpp/phase.h"

#include <gtest/gtest.h>

namespace xmpp {
namespace {

TEST(ConnectionPhase, TheCheckAndTheCatchUpEndInEitherOrderAndClosingKeepsWhatRuns) {
  ConnectionPhase phase;
  phase.Connecting();
  EXPECT_FALSE(phase.SignedIn());
  phase.Closing();  // an attempt given up: nothing was signed in
  EXPECT_EQ(phase.Now(), Phase::kClosing);
  EXPECT_FALSE(phase.SignedIn());
  phase.Gone();
  EXPECT_EQ(phase.Now(), Phase::kIdle);

  phase.Connecting();
  phase.SignedIn(true, true);
  EXPECT_EQ(phase.Now(), Phase::kSyncing);
  EXPECT_TRUE(phase.Checking() && phase.CatchingUp());
  phase.CatchUpDone();
  EXPECT_EQ(phase.Now(), Phase::kChecking);
  phase.CatchUpDone();  // the end of a catch-up already ended early changes nothing
  EXPECT_EQ(phase.Now(), Phase::kChecking);
  phase.CheckDone();
  EXPECT_EQ(phase.Now(), Phase::kLive);

  phase.SignedIn(true, true);
  phase.CheckDone();
  EXPECT_EQ(phase.Now(), Phase::kCatchingUp);
  EXPECT_FALSE(phase.Checking());
  // Taken down, the connection is still what it was until it is gone, and answers still move
  // it on.
  phase.Closing();
  EXPECT_EQ(phase.Now(), Phase::kClosing);
  EXPECT_TRUE(phase.SignedIn() && phase.CatchingUp());
  phase.CatchUpDone();
  EXPECT_FALSE(phase.CatchingUp());
  EXPECT_TRUE(phase.SignedIn());
  phase.Gone();
  EXPECT_FALSE(phase.SignedIn());
  EXPECT_EQ(phase.Now(), Phase::kIdle);
}

}  // namespace
}  // namespace xmpp
