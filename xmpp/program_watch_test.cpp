#include "xmpp/program_watch.h"

#include <gtest/gtest.h>

#include <vector>

namespace xmpp {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using State = ProgramWatch::State;
using Clock = ProgramWatch::Clock;

// Starts and ends the program `times` times, each run `ran` long; the waits it was given.
std::vector<long long> Runs(ProgramWatch& watch, int times, milliseconds ran, bool failed = true) {
  static Clock::time_point now{};
  std::vector<long long> waits;
  for (int i = 0; i < times; ++i) {
    watch.Started(now);
    now += ran;
    const ProgramWatch::Decision decision = watch.Ended(now, failed);
    if (decision.state != State::kRestarting) break;
    waits.push_back(decision.wait.count());
    now += decision.wait;
  }
  return waits;
}

TEST(ProgramWatch, QuickEndsBackOffAndTheFifthInARowLeavesItStopped) {
  ProgramWatch watch(true);
  EXPECT_EQ(Runs(watch, 6, seconds(2)), (std::vector<long long>{1000, 2000, 4000, 8000}));
  EXPECT_EQ(watch.Current(), State::kStopped);
  // Started by hand: five more quick ends before it is given up again, waits from 1 s.
  watch.Reset();
  EXPECT_EQ(Runs(watch, 1, seconds(9), false), (std::vector<long long>{1000}));  // clean, quick
  // One run past the quick bound begins the count anew, though not the wait.
  EXPECT_EQ(Runs(watch, 1, seconds(10)), (std::vector<long long>{2000}));
  EXPECT_EQ(Runs(watch, 4, seconds(1)).size(), 4u);
  EXPECT_EQ(watch.Current(), State::kRestarting);
}

TEST(ProgramWatch, WaitsGrowToThirtyTimesTheFirstAndFallBackAfterALongRun) {
  ProgramWatch watch(true, milliseconds(100));  // quick below 1 s, long from 6 s
  EXPECT_EQ(Runs(watch, 7, seconds(2)),
            (std::vector<long long>{100, 200, 400, 800, 1600, 3000, 3000}));
  EXPECT_EQ(Runs(watch, 2, seconds(6)), (std::vector<long long>{100, 100}));
}

TEST(ProgramWatch, AWindowTheUserClosedIsLeftClosed) {
  ProgramWatch window(false);
  EXPECT_TRUE(Runs(window, 1, seconds(1), false).empty());
  EXPECT_EQ(window.Current(), State::kNotStarted);
  EXPECT_EQ(Runs(window, 1, seconds(1), true), (std::vector<long long>{1000}));
}

}  // namespace
}  // namespace xmpp
