#include "core/posture_rule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace kqd {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::optional<UsageMode> kHeld = std::nullopt;

struct RuleCase {
  const char* label;
  UsageMode current;
  float a;
  float b;
  std::optional<UsageMode> expected;
};

// The angles sit on and beside each threshold and the margin around it.
constexpr float kLaptop = kPostureLaptopBelow;
constexpr float kTablet = kPostureTabletAbove;
constexpr float kSplit = kPostureFoldSplit;
constexpr float kMargin = kPostureMargin;
constexpr float kWrap = kPostureWrapBelow;

TEST(PostureRule, HoldsAndChangesAtEachBound) {
  const RuleCase cases[] = {
      {"laptop held inside its margin", 1, kLaptop + kMargin - 1, 100, kHeld},
      {"laptop held just short of its margin", 1, kLaptop + kMargin - 0.1f, 100, kHeld},
      {"laptop left at its margin, low fold", 1, kLaptop + kMargin, 100, 3},
      {"laptop left at its margin, high fold", 1, kLaptop + kMargin, kSplit, 4},
      {"laptop left for tablet", 1, kTablet + 1, 0, 2},
      {"laptop: A below the wrap is tablet", 1, kWrap - 5, 100, 2},
      {"tablet held inside its margin", 2, kTablet - kMargin + 1, 0, kHeld},
      {"tablet held just short of its margin", 2, kTablet - kMargin + 0.1f, 0, kHeld},
      {"tablet left at its margin, high fold", 2, kTablet - kMargin, kSplit + 20, 4},
      {"tablet left at its margin, low fold", 2, kTablet - kMargin, 100, 3},
      {"tablet held by the wrap", 2, kWrap - 0.5f, 0, kHeld},
      {"tablet left for laptop", 2, 100, 0, 1},
      {"low fold held with B inside the split's margin", 3, 200, kSplit + kMargin - 1, kHeld},
      {"low fold left with B at the split's margin", 3, 200, kSplit + kMargin, 4},
      {"low fold left for laptop once B leaves too", 3, kLaptop - kMargin + 1, kSplit + 10, 1},
      {"low fold held with A inside the laptop margin and a low B", 3, kLaptop - kMargin + 1, 100, kHeld},
      {"low fold left with A at the laptop margin", 3, kLaptop - kMargin, 100, 1},
      {"low fold held with A inside the tablet margin", 3, kTablet + kMargin - 1, 100, kHeld},
      {"low fold left with A at the tablet margin", 3, kTablet + kMargin, 100, 2},
      {"high fold held with B inside the split's margin", 4, 200, kSplit - kMargin + 1, kHeld},
      {"high fold left with B at the split's margin", 4, 200, kSplit - kMargin, 3},
      {"high fold left with A at the tablet margin", 4, kTablet + kMargin, 200, 2},
      {"high fold left with A at the laptop margin", 4, kLaptop - kMargin, 200, 1},
      {"unknown: A just below the laptop bound is laptop", 0, kLaptop - 1, 0, 1},
      {"unknown: A at the laptop bound is a fold", 0, kLaptop, 0, 3},
      {"unknown: B at the split is the high fold", 0, 300, kSplit, 4},
      {"unknown: B just below the split", 0, 300, kSplit - 0.1f, 3},
      {"unknown: A at the tablet bound is still a fold", 0, kTablet, 0, 3},
      {"unknown: A above the tablet bound is tablet", 0, kTablet + 0.5f, 0, 2},
      {"unknown: A at the wrap stays as it is", 0, kWrap, 0, 1},
      {"unknown: A just below the wrap counts as 360", 0, kWrap - 0.5f, 0, 2},
      {"unknown: negative A counts as 360", 0, -40, 0, 2},
      {"a value from the WMI provider is never held", 7, 200, 100, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplyPostureRule(c.current, c.a, c.b), c.expected) << c.label;
  }
}

TEST(PostureRule, NaNComparesFalse) {
  const RuleCase cases[] = {
      // A NaN: no hold, not laptop, not tablet, so the fold that B picks.
      {"laptop with NaN A", 1, kNaN, 100, 3},
      {"tablet with NaN A", 2, kNaN, 200, 4},
      {"low fold with NaN A", 3, kNaN, 100, 3},
      {"unknown with NaN A and B", 0, kNaN, kNaN, 4},
      // B NaN: folds are never held and B < 180 is false.
      {"low fold with NaN B", 3, 200, kNaN, 4},
      {"high fold with NaN B", 4, 200, kNaN, 4},
      {"laptop ignores B", 1, 100, kNaN, kHeld},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplyPostureRule(c.current, c.a, c.b), c.expected) << c.label;
  }
}

// Feeds readings in order, carrying the mode forward as the evaluation does.
std::vector<UsageMode> Feed(UsageMode start, const std::vector<std::pair<float, float>>& readings) {
  std::vector<UsageMode> modes;
  UsageMode mode = start;
  for (const auto& [a, b] : readings) {
    if (const auto next = ApplyPostureRule(mode, a, b)) mode = *next;
    modes.push_back(mode);
  }
  return modes;
}

TEST(PostureRule, OpeningAndClosingTheLidUsesTheMargins) {
  EXPECT_EQ(Feed(0, {{100, 0},
                     {kLaptop - 1, 0},
                     {kLaptop + 1, 0},
                     {kLaptop + kMargin - 0.5f, 0},
                     {kLaptop + kMargin, 0},
                     {kLaptop + 1, 0},
                     {kLaptop - kMargin + 0.5f, 0},
                     {kLaptop - kMargin, 0}}),
            (std::vector<UsageMode>{1, 1, 1, 1, 3, 3, 3, 1}));
  EXPECT_EQ(Feed(0, {{kTablet - 10, 0},
                     {kTablet + 1, 0},
                     {kTablet + kMargin, 0},
                     {kTablet - kMargin + 1, 0},
                     {kTablet - kMargin, 0},
                     {kTablet + kMargin - 1, 0},
                     {kTablet + kMargin, 0},
                     {kWrap - 5, 0},
                     {kWrap, 0}}),
            (std::vector<UsageMode>{3, 3, 2, 2, 3, 3, 2, 2, 1}));
}

TEST(PostureRule, TheSecondAngleSplitsTheFoldsWithAMargin) {
  EXPECT_EQ(Feed(0, {{250, kSplit - 1},
                     {250, kSplit + 1},
                     {250, kSplit + kMargin - 0.1f},
                     {250, kSplit + kMargin},
                     {250, kSplit - kMargin + 1},
                     {250, kSplit - kMargin}}),
            (std::vector<UsageMode>{3, 3, 3, 4, 4, 3}));
}

TEST(PostureRule, ANaNReadingDoesNotStickOnceValuesReturn) {
  EXPECT_EQ(Feed(1, {{kNaN, 100}, {100, 0}}), (std::vector<UsageMode>{3, 1}));
}

}  // namespace
}  // namespace kqd
