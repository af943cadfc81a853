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

TEST(PostureRule, HoldsAndChangesAtEachBound) {
  const RuleCase cases[] = {
      {"laptop held just inside its margin", 1, 192, 100, kHeld},
      {"laptop held at 192.9", 1, 192.9f, 100, kHeld},
      {"laptop left at 193, low fold", 1, 193, 100, 3},
      {"laptop left at 193, high fold", 1, 193, 180, 4},
      {"laptop left for tablet", 1, 351, 0, 2},
      {"laptop: A below 10 is tablet", 1, 5, 100, 2},
      {"tablet held at 348", 2, 348, 0, kHeld},
      {"tablet held at 347.1", 2, 347.1f, 0, kHeld},
      {"tablet left at 347, high fold", 2, 347, 200, 4},
      {"tablet left at 347, low fold", 2, 347, 100, 3},
      {"tablet held by the wrap", 2, 9.5f, 0, kHeld},
      {"tablet left for laptop", 2, 100, 0, 1},
      {"low fold held at B 182", 3, 200, 182, kHeld},
      {"low fold left at B 183", 3, 200, 183, 4},
      {"low fold left at A 188 for laptop", 3, 188, 190, 1},
      {"low fold held at A 188 with low B", 3, 188, 100, kHeld},
      {"low fold left at A 187", 3, 187, 100, 1},
      {"low fold held at A 352", 3, 352, 100, kHeld},
      {"low fold left at A 353", 3, 353, 100, 2},
      {"high fold held at B 178", 4, 200, 178, kHeld},
      {"high fold left at B 177", 4, 200, 177, 3},
      {"high fold left at A 353", 4, 353, 200, 2},
      {"high fold left at A 187", 4, 187, 200, 1},
      {"unknown: A 189 is laptop", 0, 189, 0, 1},
      {"unknown: A 190 is a fold", 0, 190, 0, 3},
      {"unknown: B at the split is the high fold", 0, 300, 180, 4},
      {"unknown: B just below the split", 0, 300, 179.9f, 3},
      {"unknown: A 350 is still a fold", 0, 350, 0, 3},
      {"unknown: A above 350 is tablet", 0, 350.5f, 0, 2},
      {"unknown: A 10 stays 10", 0, 10, 0, 1},
      {"unknown: A 9.5 counts as 360", 0, 9.5f, 0, 2},
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
  EXPECT_EQ(Feed(0, {{100, 0}, {189, 0}, {191, 0}, {192.5f, 0}, {193, 0}, {191, 0}, {187.5f, 0}, {187, 0}}),
            (std::vector<UsageMode>{1, 1, 1, 1, 3, 3, 3, 1}));
  EXPECT_EQ(Feed(0, {{340, 0}, {351, 0}, {353, 0}, {348, 0}, {347, 0}, {352, 0}, {353, 0}, {5, 0}, {10, 0}}),
            (std::vector<UsageMode>{3, 3, 2, 2, 3, 3, 2, 2, 1}));
}

TEST(PostureRule, TheSecondAngleSplitsTheFoldsWithAMargin) {
  EXPECT_EQ(Feed(0, {{250, 179}, {250, 181}, {250, 182.9f}, {250, 183}, {250, 178}, {250, 177}}),
            (std::vector<UsageMode>{3, 3, 3, 4, 4, 3}));
}

TEST(PostureRule, ANaNReadingDoesNotStickOnceValuesReturn) {
  EXPECT_EQ(Feed(1, {{kNaN, 100}, {100, 0}}), (std::vector<UsageMode>{3, 1}));
}

}  // namespace
}  // namespace kqd
