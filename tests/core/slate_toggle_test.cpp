#include "core/slate_toggle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kqd {
namespace {

constexpr int32_t kSlate = 0;  // GetSystemMetrics(SM_CONVERTIBLESLATEMODE) in slate mode
constexpr int32_t kLaptop = 1;

// The system's indicator: each toggle shows `lagMs` after it was written, in order.
// dropNext makes it ignore the next toggle, as a device that lost it would.
struct Indicator {
  Indicator(uint64_t lag, bool startSlate) : lagMs(lag), slate(startSlate) {}
  uint64_t lagMs = 0;
  bool slate = true;
  std::deque<uint64_t> due;
  bool dropNext = false;

  int32_t Metric(uint64_t now) {
    while (!due.empty() && due.front() <= now) {
      slate = !slate;
      due.pop_front();
    }
    return slate ? kSlate : kLaptop;
  }
  void Toggle(uint64_t now) {
    if (dropNext) {
      dropNext = false;
      return;
    }
    due.push_back(now + lagMs);
  }
};

// The broadcaster's watcher in 1 ms steps: an announcement decides at once, and
// while a toggle is in flight the state is read every poll interval.
struct Watcher {
  explicit Watcher(Indicator& system) : indicator(system) {}
  Indicator& indicator;
  SlateToggleTracker tracker;
  int writes = 0;
  int gaveUp = 0;
  uint64_t lastPoll = 0;

  void Step(UsageMode mode, uint64_t now, bool announced) {
    const SlateDecision decision = tracker.Decide(mode, indicator.Metric(now), now, announced);
    gaveUp += decision.gaveUp ? 1 : 0;
    if (decision.write) {
      ++writes;
      indicator.Toggle(now);
      tracker.Written(now);
    }
    lastPoll = now;
  }
  // Announces each mode at its time, then runs until `endMs`; returns the last mode.
  UsageMode Run(const std::vector<std::pair<uint64_t, UsageMode>>& announcements, uint64_t endMs) {
    UsageMode mode = 0;
    std::size_t next = 0;
    for (uint64_t now = 0; now <= endMs; ++now) {
      bool announced = false;
      while (next < announcements.size() && announcements[next].first == now) {
        mode = announcements[next++].second;
        announced = true;
      }
      if (announced) {
        Step(mode, now, true);
      } else if (tracker.InFlight() && now - lastPoll >= kSlateTogglePollMs) {
        Step(mode, now, false);
      }
    }
    return mode;
  }
};

std::vector<std::pair<uint64_t, UsageMode>> Fold(const std::vector<UsageMode>& modes, uint64_t gapMs) {
  std::vector<std::pair<uint64_t, UsageMode>> timed;
  for (std::size_t i = 0; i < modes.size(); ++i) timed.emplace_back(10 + i * gapMs, modes[i]);
  return timed;
}

// However fast the folds come and however late the system shows a toggle (up to
// the limit), the state ends in agreement with the last mode, no toggle is written
// that a toggle in flight already makes, and nothing is given up.
TEST(SlateToggleTracker, StateEndsInAgreementForEveryLagAndPace) {
  const std::vector<std::vector<UsageMode>> folds = {
      {3, 1, 3, 1, 4, 1}, {3, 1, 3, 1, 3}, {1, 3, 2, 4, 1}, {3}, {1}, {0, 2, 0}, {3, 1}, {2, 2, 1, 1, 3, 3}};
  for (const uint64_t lag : {0u, 1u, 9u, 10u, 20u, 50u, 100u, 300u, 1000u, kSlateToggleShowLimitMs - 20}) {
    for (const uint64_t gap : {1u, 5u, 15u, 60u, 250u}) {
      for (const bool startSlate : {true, false}) {
        for (const auto& modes : folds) {
          SCOPED_TRACE(testing::Message() << "lag " << lag << " ms, gap " << gap << " ms, start "
                                          << (startSlate ? "slate" : "laptop") << ", " << testing::PrintToString(modes));
          Indicator indicator{lag, startSlate};
          Watcher watcher{indicator};
          const auto timed = Fold(modes, gap);
          const UsageMode last = watcher.Run(timed, timed.back().first + lag + kSlateToggleShowLimitMs + 100);
          EXPECT_EQ(indicator.Metric(UINT64_MAX) == kSlate, !IsLaptopMode(last)) << "the state disagrees with the mode";
          EXPECT_FALSE(watcher.tracker.InFlight());
          EXPECT_EQ(watcher.gaveUp, 0);
          // Each toggle is one change of the slate side, never a pair that cancels out.
          int sideChanges = 0;
          bool side = startSlate;
          for (const auto& [time, mode] : timed) {
            if (!IsLaptopMode(mode) != side) {
              side = !side;
              ++sideChanges;
            }
          }
          EXPECT_LE(watcher.writes, sideChanges);
          if (gap > lag + kSlateTogglePollMs) {
            EXPECT_EQ(watcher.writes, sideChanges) << "a settled fold writes once per side change";
          }
        }
      }
    }
  }
}

// A toggle that never shows stalls nothing: past the limit the system's state is
// trusted again, once, and polls alone never write; the next announcement decides
// on the state as the system reports it.
TEST(SlateToggleTracker, ToggleThatNeverShowsIsGivenUpAtTheLimit) {
  SlateToggleTracker tracker;
  ASSERT_TRUE(tracker.Decide(3, kLaptop, 0, true).write);
  tracker.Written(0);
  // Before the limit the toggle is taken as on its way, even when the mode reverses.
  EXPECT_FALSE(tracker.Decide(1, kLaptop, 100, true).write);
  EXPECT_FALSE(tracker.Decide(3, kLaptop, 200, true).write);
  const SlateDecision early = tracker.Decide(3, kLaptop, kSlateToggleShowLimitMs - 1, false);
  EXPECT_FALSE(early.write || early.gaveUp);
  EXPECT_TRUE(tracker.InFlight());
  // At the limit: given up, and a poll writes nothing (the last announcement agreed
  // with the toggle's state), so a dead device is not written again and again.
  const SlateDecision limit = tracker.Decide(3, kLaptop, kSlateToggleShowLimitMs, false);
  EXPECT_TRUE(limit.gaveUp);
  EXPECT_FALSE(limit.write);
  EXPECT_FALSE(tracker.InFlight());
  EXPECT_FALSE(tracker.Decide(3, kLaptop, kSlateToggleShowLimitMs + 10, false).write);
  // The next announcement goes by the system's state again.
  const SlateDecision next = tracker.Decide(3, kLaptop, kSlateToggleShowLimitMs + 500, true);
  EXPECT_TRUE(next.write);
  EXPECT_FALSE(next.gaveUp);
}

// Given up while a reversed mode waited: the decision is made on the system's
// state, which still shows the state from before the lost toggle, and so agrees.
TEST(SlateToggleTracker, WaitingDecisionIsMadeOnTheSystemsStateAtTheLimit) {
  Indicator indicator{50, false};
  Watcher watcher{indicator};
  indicator.dropNext = true;
  watcher.Run({{0, 3}, {20, 1}}, 3 * kSlateToggleShowLimitMs);
  EXPECT_EQ(watcher.writes, 1);
  EXPECT_EQ(watcher.gaveUp, 1);
  EXPECT_EQ(indicator.Metric(UINT64_MAX), kLaptop);
  EXPECT_FALSE(watcher.tracker.InFlight());
}

}  // namespace
}  // namespace kqd
