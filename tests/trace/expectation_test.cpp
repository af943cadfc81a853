#include "trace/expectation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/posture_rule.h"

namespace kqdtb::trace {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kDebounce = kqd::kSensorDebounceMs;
constexpr double kWindow = kqd::kWmiBurstWindowMs;
constexpr double kTolerance = kTimingToleranceMs;

std::vector<Row> TwoRows(double gap) { return {{0, 100, 90}, {gap, 300, 200}}; }

struct GapCase {
  Source source;
  double gapMs;
  std::size_t bursts;
  bool ambiguous;
};

// The WMI window is shorter than the tolerance, so back-to-back events are ambiguous too.
static_assert(kWindow <= kTolerance);

TEST(Bursts, GroupAtTheDesignedDelayAndFlagGapsNearIt) {
  using kqd::kSourceDriver, kqd::kSourceSensorApi, kqd::kSourceWmi;
  const GapCase cases[] = {
      {kSourceSensorApi, kDebounce / 4, 1, false},
      {kSourceSensorApi, kDebounce - kTolerance - 0.1, 1, false},
      {kSourceSensorApi, kDebounce - kTolerance, 1, true},
      {kSourceSensorApi, kDebounce - 0.1, 1, true},
      {kSourceSensorApi, kDebounce, 2, true},
      {kSourceSensorApi, kDebounce + kTolerance, 2, true},
      {kSourceSensorApi, kDebounce + kTolerance + 0.1, 2, false},
      {kSourceSensorApi, 2 * kDebounce, 2, false},
      {kSourceWmi, 0, 1, true},
      {kSourceWmi, kWindow - 0.1, 1, true},
      {kSourceWmi, kWindow, 2, true},
      {kSourceWmi, kWindow + kTolerance + 0.1, 2, false},
      {kSourceDriver, 0, 2, true},
      {kSourceDriver, kTolerance, 2, true},
      {kSourceDriver, kTolerance + 0.1, 2, false},
  };
  for (const auto& c : cases) {
    const Grouping grouping = GroupBursts(TwoRows(c.gapMs), c.source);
    const std::string label = std::string(kqd::ModeSourceName(c.source)) + " gap " + std::to_string(c.gapMs);
    EXPECT_EQ(grouping.bursts.size(), c.bursts) << label;
    EXPECT_EQ(!grouping.ambiguous.empty(), c.ambiguous) << label;
    if (c.ambiguous && !grouping.ambiguous.empty()) {
      EXPECT_EQ(grouping.ambiguous[0].row, 1u) << label;
    }
  }
}

TEST(Expect, SensorEvaluatesTheLastAnglesOfEachBurstOnce) {
  // Laptop, then a burst through tablet ending folded high, then a step inside
  // the fold's margin, then laptop again.
  constexpr float kInsideFoldMargin = kqd::kPostureFoldSplit - kqd::kPostureMargin + 1;
  const std::vector<Row> rows = {
      {0, 100, 90}, {500, 355, 90}, {520, 100, 90}, {540, 250, 200}, {1000, 250, kInsideFoldMargin}, {1500, 100, 90},
  };
  std::string error;
  const auto expectation = Expect(rows, kqd::kSourceSensorApi, 0, &error);
  ASSERT_TRUE(expectation) << error;
  EXPECT_TRUE(expectation->ambiguous.empty());
  ASSERT_EQ(expectation->bursts.size(), 4u);
  EXPECT_EQ(expectation->bursts[0].published, kqd::kModeLaptop);
  EXPECT_EQ(expectation->bursts[1].rows.first, 1u);
  EXPECT_EQ(expectation->bursts[1].rows.last, 3u);
  EXPECT_EQ(expectation->bursts[1].published, kqd::kModeFoldedHigh);
  EXPECT_DOUBLE_EQ(expectation->bursts[1].dueMs, 540 + kDebounce);
  EXPECT_FALSE(expectation->bursts[2].published);
  EXPECT_EQ(expectation->bursts[3].published, kqd::kModeLaptop);
  EXPECT_EQ(expectation->Publications(), 3u);

  // From a held laptop the first row publishes nothing.
  const auto fromLaptop = Expect(rows, kqd::kSourceSensorApi, kqd::kModeLaptop, &error);
  ASSERT_TRUE(fromLaptop) << error;
  EXPECT_FALSE(fromLaptop->bursts[0].published);
}

TEST(Expect, SensorPublishesAgainWhenANanAngleYieldsTheSameMode) {
  // NaN never holds, so the rule answers with the low fold it already has.
  const std::vector<Row> rows = {{0, 250, 90}, {500, kNaN, 90}};
  const auto expectation = Expect(rows, kqd::kSourceSensorApi, 0, nullptr);
  ASSERT_TRUE(expectation);
  EXPECT_EQ(expectation->bursts[0].published, kqd::kModeFoldedLow);
  EXPECT_EQ(expectation->bursts[1].published, kqd::kModeFoldedLow);
}

TEST(Expect, WmiAndDriverPublishTheReportedModeOfEveryBurst) {
  Row laptop{0, 0, 0, 1u, std::nullopt};
  Row seven{500, 0, 0, 7u, std::nullopt};
  const auto wmi = Expect({laptop, seven, Row{1000, 0, 0, 7u, std::nullopt}}, kqd::kSourceWmi, 0, nullptr);
  ASSERT_TRUE(wmi);
  ASSERT_EQ(wmi->bursts.size(), 3u);
  EXPECT_EQ(wmi->bursts[1].published, 7u);
  EXPECT_EQ(wmi->bursts[2].published, 7u);  // unchanged, published all the same
  EXPECT_DOUBLE_EQ(wmi->bursts[2].dueMs, 1000 + kWindow);

  // The word wins over the mode; an unknown word is mode 0.
  const std::vector<Row> driver = {{0, 0, 0, 1u, 0x00020005u}, {100, 0, 0, 2u, std::nullopt},
                                   {200, 0, 0, std::nullopt, 0x00070001u}};
  const auto expectation = Expect(driver, kqd::kSourceDriver, 0, nullptr);
  ASSERT_TRUE(expectation);
  ASSERT_EQ(expectation->bursts.size(), 3u);
  EXPECT_EQ(expectation->bursts[0].published, 4u);
  EXPECT_EQ(expectation->bursts[1].published, 2u);
  EXPECT_EQ(expectation->bursts[2].published, 0u);
  EXPECT_DOUBLE_EQ(expectation->bursts[2].dueMs, 200);
}

TEST(Expect, RefusesRowsWithoutWhatTheSourceNeeds) {
  struct Case {
    const char* label;
    Source source;
    Row row;
  };
  const Case cases[] = {
      {"wmi without a mode", kqd::kSourceWmi, {0, 1, 2, std::nullopt, 0x00020001u}},
      {"driver with neither", kqd::kSourceDriver, {0, 1, 2, std::nullopt, std::nullopt}},
      {"driver mode it cannot answer", kqd::kSourceDriver, {0, 1, 2, 5u, std::nullopt}},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(Expect({{0, 1, 2, 1u, std::nullopt}, c.row}, c.source, 0, &error)) << c.label;
    EXPECT_NE(error.find("row 2"), std::string::npos) << c.label << ": " << error;
  }
}

TEST(Derive, FillsEachRowWithTheRuleAppliedInTurn) {
  Trace trace;
  constexpr float kLaptop = kqd::kPostureLaptopBelow, kMargin = kqd::kPostureMargin;
  trace.rows = {{0, kLaptop - 5, 90},
                {1, kLaptop + kMargin - 1, 90},
                {2, kLaptop + kMargin + 2, 90},
                {3, kLaptop - 1, 90},
                {4, kqd::kPostureWrapBelow - 5, 90}};
  const Trace derived = DeriveModes(trace);
  EXPECT_TRUE(derived.hasMode);
  std::vector<kqd::UsageMode> modes;
  for (const Row& row : derived.rows) modes.push_back(row.mode.value_or(99));
  // Row by row the margins hold: the second row stays laptop, the fourth folded.
  EXPECT_EQ(modes, (std::vector<kqd::UsageMode>{1, 1, 3, 3, 2}));
}

// The shipped traces: their modes come from the rule, so what is checked here is
// what each trace is meant to exercise.
struct Shipped {
  std::string name;
  Trace trace;
  Expectation expectation;
};

Shipped LoadShipped(const std::string& name) {
  std::ifstream in(std::string(KQD_TRACES_DIR) + "/" + name + ".csv", std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string error;
  const auto trace = ParseTrace(text.str(), &error);
  if (!trace) ADD_FAILURE() << name << ": " << error;
  Shipped shipped{name, trace.value_or(Trace{}), {}};
  const auto expectation = Expect(shipped.trace.rows, kqd::kSourceSensorApi, 0, &error);
  if (!expectation) ADD_FAILURE() << name << ": " << error;
  if (expectation) shipped.expectation = *expectation;
  return shipped;
}

std::vector<kqd::UsageMode> Published(const Expectation& expectation) {
  std::vector<kqd::UsageMode> modes;
  for (const ExpectedBurst& burst : expectation.bursts) {
    if (burst.published) modes.push_back(*burst.published);
  }
  return modes;
}

TEST(ShippedTraces, AreUnambiguousShortAndPublish) {
  double total = 0;
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KQD_TRACES_DIR)) {
    if (entry.path().extension() != ".csv") continue;
    const Shipped shipped = LoadShipped(entry.path().stem().string());
    ++count;
    const auto& rows = shipped.trace.rows;
    ASSERT_FALSE(rows.empty()) << shipped.name;
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const double gap = rows[i].timeMs - rows[i - 1].timeMs;
      EXPECT_TRUE(gap <= kDebounce / 4 || gap >= 2 * kDebounce) << shipped.name << " row " << i + 1 << ": gap " << gap;
    }
    EXPECT_LE(rows.back().timeMs, 15000) << shipped.name;
    total += rows.back().timeMs;
    EXPECT_TRUE(shipped.expectation.ambiguous.empty()) << shipped.name;
    EXPECT_GE(shipped.expectation.Publications(), 1u) << shipped.name;
  }
  EXPECT_GE(count, 5u);
  EXPECT_LE(total, 60000);
}

TEST(ShippedTraces, FastFlipAndBurstEvaluateOnce) {
  for (const char* name : {"fast_flip", "burst_200"}) {
    const Shipped shipped = LoadShipped(name);
    EXPECT_EQ(shipped.expectation.bursts.size(), 1u) << name;
    EXPECT_EQ(shipped.expectation.Publications(), 1u) << name;
    // Taken row by row the same hinge would have changed mode many times.
    const Trace derived = DeriveModes(shipped.trace);
    std::size_t changes = 0;
    for (std::size_t i = 1; i < derived.rows.size(); ++i) changes += derived.rows[i].mode != derived.rows[i - 1].mode;
    EXPECT_GE(changes, 5u) << name;
  }
  EXPECT_EQ(LoadShipped("burst_200").trace.rows.size(), 200u);
}

TEST(ShippedTraces, JitterHoldsInsideEachMarginAndChangesBeyondIt) {
  const Shipped shipped = LoadShipped("hysteresis_jitter");
  std::set<kqd::UsageMode> heldAgainstEntry;
  kqd::UsageMode current = 0;
  for (const ExpectedBurst& burst : shipped.expectation.bursts) {
    const Row& row = shipped.trace.rows[burst.rows.last];
    // A held step that a fresh look would have moved shows the margin at work.
    if (!burst.published && kqd::ApplyPostureRule(0, row.a, row.b) != current) heldAgainstEntry.insert(current);
    if (burst.published) current = *burst.published;
  }
  EXPECT_EQ(heldAgainstEntry, (std::set<kqd::UsageMode>{1, 2, 3, 4}));
  EXPECT_GE(shipped.expectation.Publications(), 4u);
}

TEST(ShippedTraces, SlowFoldVisitsEveryModeInOrderAndEndsInLaptop) {
  const Shipped shipped = LoadShipped("slow_fold");
  EXPECT_EQ(shipped.expectation.bursts.size(), shipped.trace.rows.size());  // every step on its own
  const auto modes = Published(shipped.expectation);
  const std::vector<kqd::UsageMode> order = {1, 3, 4, 2, 1};
  auto at = modes.begin();
  for (const kqd::UsageMode mode : order) {
    at = std::find(at, modes.end(), mode);
    ASSERT_NE(at, modes.end()) << "mode " << mode << " missing or out of order";
  }
  EXPECT_EQ(modes.back(), kqd::kModeLaptop);
  // The wrap is exercised from laptop, where it must change the mode.
  bool wrapChanged = false;
  kqd::UsageMode current = 0;
  for (const ExpectedBurst& burst : shipped.expectation.bursts) {
    const Row& row = shipped.trace.rows[burst.rows.last];
    if (row.a < kqd::kPostureWrapBelow && current == kqd::kModeLaptop && burst.published) wrapChanged = true;
    if (burst.published) current = *burst.published;
  }
  EXPECT_TRUE(wrapChanged);
}

TEST(ShippedTraces, BadAnglesMatchTheirMeaning) {
  const Shipped shipped = LoadShipped("nan_out_of_range");
  bool nanA = false, nanB = false, negative = false, above = false, huge = false;  // all present
  for (const ExpectedBurst& burst : shipped.expectation.bursts) {
    const Row& row = shipped.trace.rows[burst.rows.last];
    nanA = nanA || std::isnan(row.a);
    nanB = nanB || std::isnan(row.b);
    negative = negative || row.a < 0 || row.b < 0;
    above = above || (row.a > 360 && row.a < 1e6f);
    huge = huge || std::fabs(row.a) >= 1e29f || std::fabs(row.b) >= 1e29f;
    // NaN never holds a mode.
    if (std::isnan(row.a)) {
      EXPECT_TRUE(burst.published) << "row at " << row.timeMs;
    }
  }
  EXPECT_TRUE(nanA && nanB && negative && above && huge);
}

}  // namespace
}  // namespace kqdtb::trace
