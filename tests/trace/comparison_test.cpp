#include "trace/comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/slate_toggle.h"
#include "trace/stats.h"

namespace kqdtb::trace {
namespace {

constexpr double kDebounce = kqd::kSensorDebounceMs;
constexpr double kWindow = kqd::kWmiBurstWindowMs;
// What the recorded services below take beyond each source's delay.
constexpr double kSensorLatency = kDebounce + 10;
constexpr double kWmiLatency = kWindow + 5;
constexpr double kDriverLatency = 5;

// A sensor trace with a hold (row 2), a burst (rows 3-4) and a return to laptop.
// Its gaps keep clear of the debounce and its tolerance on either side.
static_assert(30 < kDebounce - kTimingToleranceMs && 470 > kDebounce + kTimingToleranceMs);
Trace SensorTrace() {
  Trace trace;
  trace.rows = {{0, 100, 90}, {500, 170, 90}, {1000, 355, 200}, {1030, 250, 200}, {1500, 100, 90}};
  return trace;
}

Event Published(EventKind kind, double timeMs, std::uint32_t value) { return {kind, timeMs, 0, 0, value}; }

constexpr double kSlateLagMs = 30;  // the slate double's state follows a write this late

// What a service that publishes `latency` ms after each burst's last input
// records: slate write, posture code, raw mode, then "Mode" (which Wine leaves
// unannounced when it is already stored). Given the state it starts from (0
// slate, 1 laptop), the slate double toggles on each write; without one, the
// metric is Wine's old constant slate and no state is recorded.
Record RecordAsExpected(const Trace& trace, Source source, double latency,
                        std::optional<std::uint32_t> start = std::nullopt,
                        std::optional<std::uint32_t> startSlate = std::nullopt) {
  Record record;
  record.source = std::string(kqd::ModeSourceName(source));
  record.startMode = start;
  record.startSlate = startSlate;
  std::optional<std::uint32_t> slate = startSlate;
  for (const Row& row : trace.rows) {
    record.events.push_back({EventKind::Input, row.timeMs + 0.3, row.a, row.b, row.mode});
  }
  const auto expectation = Expect(trace.rows, source, start.value_or(0), nullptr);
  EXPECT_TRUE(expectation);
  std::optional<std::uint32_t> stored = start;
  for (const ExpectedBurst& burst : expectation->bursts) {
    if (!burst.published) continue;
    const std::uint32_t mode = *burst.published;
    const double at = burst.lastInputMs + 0.3 + latency;
    if (source != kqd::kSourceDriver) {
      if ((mode <= 1) == (slate.value_or(0) == 0)) {
        record.events.push_back(Published(EventKind::Slate, at - 1, 0));
        if (slate) {
          slate = *slate == 0 ? 1 : 0;
          record.events.push_back(Published(EventKind::SlateState, at - 1 + kSlateLagMs, *slate));
        }
      }
      record.events.push_back(Published(EventKind::Energy, at, mode <= 1 ? 9 : 8));
      record.events.push_back(Published(EventKind::Energy, at + 0.5, mode));
    }
    if (stored != mode) record.events.push_back(Published(EventKind::Mode, at + 2, mode));
    stored = mode;
  }
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const Event& x, const Event& y) { return x.timeMs < y.timeMs; });
  return record;
}

std::vector<Event>::iterator Find(Record& record, EventKind kind, double afterMs) {
  return std::find_if(record.events.begin(), record.events.end(),
                      [&](const Event& e) { return e.kind == kind && e.timeMs > afterMs; });
}

Comparison MustCompare(const Trace& trace, const Record& record) {
  std::string error;
  const auto comparison = Compare(trace, record, &error);
  EXPECT_TRUE(comparison) << error;
  return comparison.value_or(Comparison{});
}

TEST(Compare, AMatchingRecordPassesWithItsLatencies) {
  const Trace trace = SensorTrace();
  const Comparison comparison =
      MustCompare(trace, RecordAsExpected(trace, kqd::kSourceSensorApi, kSensorLatency, std::nullopt, 1));
  EXPECT_TRUE(comparison.AsExpected()) << comparison.differences.front();
  EXPECT_TRUE(comparison.OnTime()) << comparison.timing.front();
  ASSERT_EQ(comparison.bursts.size(), 4u);
  EXPECT_EQ(comparison.bursts[1].modes.size(), 0u);  // the held step
  EXPECT_EQ(comparison.bursts[2].energy, (std::vector<std::uint32_t>{8, 4}));
  EXPECT_EQ(comparison.bursts[2].slateAfter, SlateMode::Slate);
  EXPECT_EQ(comparison.bursts[3].slateWrites, 1u);
  EXPECT_EQ(comparison.bursts[3].expectedSlateWrites, 1u);
  EXPECT_EQ(comparison.bursts[3].slateAfter, SlateMode::Laptop);
  EXPECT_TRUE(comparison.bursts[3].slateJudged);
  const LatencySummary latency = comparison.Latencies();
  ASSERT_TRUE(latency.modeMedian && latency.energyP95);
  EXPECT_NEAR(*latency.modeMedian, kSensorLatency + 2, 1e-6);
  EXPECT_NEAR(*latency.energyP95, kSensorLatency, 1e-6);
  EXPECT_EQ(latency.designedDelayMs, kDebounce);
}

TEST(Compare, EachKindOfFaultIsADifference) {
  const Trace trace = SensorTrace();
  struct Case {
    const char* label;
    void (*spoil)(Record&);
    const char* message;
  };
  const Case cases[] = {
      {"wrong mode", [](Record& r) { Find(r, EventKind::Mode, 1000)->value = 3; }, "expected 4 (fold 4)"},
      {"missing Mode", [](Record& r) { r.events.erase(Find(r, EventKind::Mode, 1000)); }, "Mode none, expected 4"},
      {"missing energy request",
       [](Record& r) { r.events.erase(Find(r, EventKind::Energy, 1000)); }, "energy requests 4, expected 8 4"},
      {"requests swapped",
       [](Record& r) {
         auto first = Find(r, EventKind::Energy, 1000);
         std::swap(first->value, Find(r, EventKind::Energy, first->timeMs)->value);
       },
       "energy requests 4 8, expected 8 4"},
      {"extra publication while held",
       [](Record& r) {
         r.events.push_back(Published(EventKind::Energy, 720, 9));
         r.events.push_back(Published(EventKind::Energy, 721, 1));
       },
       "although the mode holds"},
      {"published inside the burst",
       [](Record& r) {
         for (Event& e : r.events) {
           if (e.kind != EventKind::Input && e.timeMs > 1000 && e.timeMs < 1400) e.timeMs -= kSensorLatency + 15;
         }
       },
       "before the burst's last input"},
      {"a lost input", [](Record& r) { r.events.erase(Find(r, EventKind::Input, 1400)); }, "5 rows"},
      {"other angles delivered", [](Record& r) { Find(r, EventKind::Input, 400)->b = std::nanf(""); },
       "input 2 delivered 170,nan"},
      {"missing slate write",
       [](Record& r) {
         r.events.erase(Find(r, EventKind::Slate, 1400));
         r.events.erase(Find(r, EventKind::SlateState, 1400));
       },
       "slate writes 0, expected 1 for 1 (laptop) with the system slate"},
      {"a slate write that never shows",
       [](Record& r) { r.events.erase(Find(r, EventKind::SlateState, 1000)); },
       "has not shown by the end of the record"},
      {"a slate write while the mode holds",
       [](Record& r) {
         r.events.push_back(Published(EventKind::Slate, 720, 0));
         r.events.push_back(Published(EventKind::SlateState, 722, 0));
       },
       "slate writes 1, expected 0 while the mode holds"},
      {"the replay ends at odds with the mode",
       [](Record& r) { r.events.erase(Find(r, EventKind::SlateState, 1400)); },
       "the replay ends with the system slate, which disagrees with the last published mode 1 (laptop)"},
  };
  for (const auto& c : cases) {
    Record record = RecordAsExpected(trace, kqd::kSourceSensorApi, kSensorLatency, std::nullopt, 1);
    c.spoil(record);
    std::stable_sort(record.events.begin(), record.events.end(),
                     [](const Event& x, const Event& y) { return x.timeMs < y.timeMs; });
    const Comparison comparison = MustCompare(trace, record);
    EXPECT_FALSE(comparison.AsExpected()) << c.label;
    const bool named = std::any_of(comparison.differences.begin(), comparison.differences.end(),
                                   [&](const std::string& d) { return d.find(c.message) != std::string::npos; });
    EXPECT_TRUE(named) << c.label << ": " << (comparison.differences.empty() ? "" : comparison.differences[0]);
  }
}

TEST(Compare, AnUnchangedModeNeedsNoModeEventButItsRequests) {
  // WMI reports tablet twice: the second publication only shows as requests.
  Trace trace;
  trace.hasMode = true;
  trace.rows = {{0, 0, 0, 2u, std::nullopt}, {500, 0, 0, 2u, std::nullopt}};
  Record record = RecordAsExpected(trace, kqd::kSourceWmi, kWmiLatency, 2u);
  EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                          [](const Event& e) { return e.kind == EventKind::Mode; }),
            0);
  EXPECT_TRUE(MustCompare(trace, record).AsExpected());

  record.events.erase(Find(record, EventKind::Energy, 400));
  record.events.erase(Find(record, EventKind::Energy, 400));
  EXPECT_FALSE(MustCompare(trace, record).AsExpected());
}

// One burst from a given slate state: the write and the state after it follow
// the mode (0 and 1 are laptop) where the source syncs the slate, and nothing
// moves under the driver source.
TEST(Compare, EachPublicationSyncsTheSlateFromTheStateItFound) {
  using kqd::kSourceDriver, kqd::kSourceSensorApi, kqd::kSourceWmi;
  constexpr std::uint32_t kSlate = 0, kLaptop = 1;
  const struct {
    Source source;
    std::uint32_t mode;
    std::uint32_t before;
    std::size_t writes;
    SlateMode after;
  } cases[] = {
      {kSourceWmi, 1, kSlate, 1, SlateMode::Laptop},     {kSourceWmi, 1, kLaptop, 0, SlateMode::Laptop},
      {kSourceWmi, 3, kLaptop, 1, SlateMode::Slate},     {kSourceWmi, 3, kSlate, 0, SlateMode::Slate},
      {kSourceWmi, 0, kSlate, 1, SlateMode::Laptop},     {kSourceSensorApi, 1, kSlate, 1, SlateMode::Laptop},
      {kSourceDriver, 3, kLaptop, 0, SlateMode::Laptop}, {kSourceDriver, 1, kSlate, 0, SlateMode::Slate},
  };
  for (const auto& c : cases) {
    const std::string label = std::string(kqd::ModeSourceName(c.source)) + " mode " + std::to_string(c.mode) +
                              " from " + std::to_string(c.before);
    Trace trace;
    trace.hasMode = true;
    trace.rows = {{0, 100, 90, c.mode, std::nullopt}};  // the sensor reads the angles: laptop
    Record record = RecordAsExpected(trace, c.source, kWmiLatency, 2u, c.before);
    const Comparison comparison = MustCompare(trace, record);
    EXPECT_TRUE(comparison.AsExpected()) << label << ": " << comparison.differences.front();
    ASSERT_EQ(comparison.bursts.size(), 1u) << label;
    const BurstResult& burst = comparison.bursts.front();
    EXPECT_TRUE(burst.slateJudged) << label;
    EXPECT_EQ(burst.expectedSlateWrites, c.writes) << label;
    EXPECT_EQ(burst.slateWrites, c.writes) << label;
    EXPECT_EQ(burst.slateAfter, c.after) << label;

    // A write where none belongs is named, with the state the service found.
    record.events.push_back(Published(EventKind::Slate, 50, 0));
    const Comparison spoilt = MustCompare(trace, record);
    const std::string named = "slate writes " + std::to_string(c.writes + 1) + ", expected " + std::to_string(c.writes);
    EXPECT_TRUE(std::any_of(spoilt.differences.begin(), spoilt.differences.end(),
                            [&](const std::string& d) { return d.find(named) != std::string::npos; }))
        << label;

    // An old record, without the state it started from, is not judged on the slate.
    record.startSlate.reset();
    const Comparison old = MustCompare(trace, record);
    EXPECT_TRUE(old.AsExpected()) << label;
    EXPECT_FALSE(old.slateJudged || old.bursts.front().slateJudged) << label;
  }
}

// A toggle still on its way when the next burst publishes: the service decides on
// the state it leads to, and a write that state calls for follows once it shows.
TEST(Compare, AToggleOnItsWayCountsForTheNextAnnouncement) {
  Trace trace;
  trace.hasMode = true;
  trace.rows = {{0, 0, 0, 3u, std::nullopt}, {100, 0, 0, 1u, std::nullopt}};
  Record record = RecordAsExpected(trace, kqd::kSourceWmi, kWmiLatency, 1u, 1);
  const double shown = 115 + kWmiLatency;
  Find(record, EventKind::SlateState, 0)->timeMs = shown;  // after the second publication
  Find(record, EventKind::Slate, 100)->timeMs = shown + 5;  // the second write waited for it
  Find(record, EventKind::SlateState, shown)->timeMs = shown + 35;
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const Event& x, const Event& y) { return x.timeMs < y.timeMs; });
  const Comparison comparison = MustCompare(trace, record);
  ASSERT_EQ(comparison.bursts.size(), 2u);
  EXPECT_EQ(comparison.bursts[1].slateBefore, SlateMode::Slate);
  EXPECT_TRUE(comparison.AsExpected()) << comparison.differences.front();

  // Decided on the state shown at the time (laptop), the second burst writes nothing.
  record.events.erase(Find(record, EventKind::Slate, 100));
  record.events.erase(Find(record, EventKind::SlateState, shown + 10));
  EXPECT_EQ(MustCompare(trace, record).bursts[1].problems,
            (std::vector<std::string>{"slate writes 0, expected 1 for 1 (laptop) with the system slate",
                                      "slate state slate at the end of the burst, expected laptop"}));

  // One that never shows is given up at the limit, as the service gives it up: a
  // burst past it is judged on the state the system shows.
  trace.rows[1].timeMs = 100 + kqd::kSlateToggleShowLimitMs;
  Record lost = RecordAsExpected(trace, kqd::kSourceWmi, kWmiLatency, 1u, 1);
  lost.events.erase(Find(lost, EventKind::SlateState, 0));
  const Comparison given = MustCompare(trace, lost);
  ASSERT_EQ(given.bursts.size(), 2u);
  EXPECT_EQ(given.bursts[1].slateBefore, SlateMode::Laptop);
  EXPECT_TRUE(std::any_of(given.differences.begin(), given.differences.end(),
                          [](const std::string& d) { return d.find("never showed") != std::string::npos; }));
}

TEST(Compare, DriverPublicationsCarryNoEnergyRequests) {
  Trace trace;
  trace.hasWord = true;
  trace.rows = {{0, 0, 0, std::nullopt, 0x00020003u}, {500, 0, 0, std::nullopt, 0x00020001u}};
  Record record = RecordAsExpected(trace, kqd::kSourceDriver, kDriverLatency);
  EXPECT_TRUE(MustCompare(trace, record).AsExpected());
  record.events.push_back(Published(EventKind::Energy, 510, 9));
  EXPECT_FALSE(MustCompare(trace, record).AsExpected());
}

// A trace each source publishes three times from, and a record of only its inputs
// and a "Mode" that many ms after each publishing burst's last input.
Trace ThreePublications(Source source) {
  Trace trace;
  if (source == kqd::kSourceSensorApi) return SensorTrace();
  if (source == kqd::kSourceWmi) {
    trace.hasMode = true;
    trace.rows = {{0, 0, 0, 2u, std::nullopt}, {500, 0, 0, 1u, std::nullopt}, {1000, 0, 0, 2u, std::nullopt}};
  } else {
    trace.hasWord = true;
    trace.rows = {{0, 0, 0, std::nullopt, 0x00020003u},
                  {500, 0, 0, std::nullopt, 0x00020001u},
                  {1000, 0, 0, std::nullopt, 0x00020003u}};
  }
  return trace;
}
Record PublishedAfter(const Trace& trace, Source source, const std::vector<double>& latencies) {
  Record record;
  record.source = std::string(kqd::ModeSourceName(source));
  for (const Row& row : trace.rows) record.events.push_back({EventKind::Input, row.timeMs, row.a, row.b, row.mode});
  const auto expectation = Expect(trace.rows, source, 0, nullptr);
  std::size_t k = 0;
  for (const ExpectedBurst& burst : expectation->bursts) {
    if (burst.published && k < latencies.size()) {
      record.events.push_back(Published(EventKind::Mode, burst.lastInputMs + latencies[k++], *burst.published));
    }
  }
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const Event& x, const Event& y) { return x.timeMs < y.timeMs; });
  return record;
}

// Each publication is held to its source's delay from below, their median from both sides.
TEST(Compare, PublicationsAreHeldToTheSourcesDelay) {
  static_assert(kqd::kPublishMedianMinimum == 3, "the records below publish three times");
  for (const kqd::ModeSourceInfo& source : kqd::kModeSources) {
    const double delay = source.publishDelayMs;
    const double earliest = delay - source.tolerance.earlyMs;
    const double latest = delay + source.tolerance.medianMarginMs;
    const struct {
      const char* label;
      std::vector<double> latencies;
      const char* problem;  // nothing: on time
    } cases[] = {
        {"each at the delay", {delay, delay, delay}, nullptr},
        {"the median at its latest, one far later", {latest, latest, delay + 500}, nullptr},
        {"one at its earliest", {earliest, delay + 1, delay + 1}, nullptr},
        {"one before its earliest", {earliest - 0.5, delay + 1, delay + 1}, "before the earliest"},
        {"the median late", {delay, latest + 0.5, latest + 0.5}, "the median publication"},
        {"the median early", {delay - 0.5, delay - 0.5, delay}, "the median publication"},
        {"two too few to judge their median", {latest + 50, latest + 50}, nullptr},
    };
    const Trace trace = ThreePublications(source.kind);
    for (const auto& c : cases) {
      // A source that publishes at once leaves no room below its median.
      if (std::string_view(c.label) == "the median early" && earliest == delay) continue;
      const Comparison comparison = MustCompare(trace, PublishedAfter(trace, source.kind, c.latencies));
      ASSERT_EQ(comparison.expectation.Publications(), 3u) << source.name;
      const std::string problems = ::testing::PrintToString(comparison.timing);
      if (c.problem == nullptr) {
        EXPECT_TRUE(comparison.OnTime()) << source.name << ", " << c.label << ": " << problems;
      } else {
        EXPECT_NE(problems.find(c.problem), std::string::npos) << source.name << ", " << c.label << ": " << problems;
      }
    }
  }
}

TEST(Compare, APublicationWithoutInputsIsADifference) {
  Record record;
  record.source = "sensor";
  record.events.push_back(Published(EventKind::Energy, 10, 9));
  EXPECT_FALSE(MustCompare(Trace{}, record).AsExpected());
}

TEST(Compare, AmbiguousDeliveryAndUnusableRecords) {
  const Trace trace = SensorTrace();
  Record record = RecordAsExpected(trace, kqd::kSourceSensorApi, kSensorLatency);
  Find(record, EventKind::Input, 1010)->timeMs = 1000.3 + kDebounce - 10;  // the burst's gap lands near it
  const Comparison comparison = MustCompare(trace, record);
  EXPECT_TRUE(comparison.Ambiguous());
  EXPECT_FALSE(comparison.AsExpected());

  record.source = "gyro";
  std::string error;
  EXPECT_FALSE(Compare(trace, record, &error));
  EXPECT_NE(error.find("gyro"), std::string::npos);

  // A WMI record of a trace without modes cannot be judged.
  record = RecordAsExpected(trace, kqd::kSourceSensorApi, kSensorLatency);
  record.source = "wmi";
  EXPECT_FALSE(Compare(trace, record, &error));
  EXPECT_NE(error.find("no mode"), std::string::npos) << error;
}

TEST(Stats, MedianAndNearestRankPercentile) {
  EXPECT_FALSE(Median({}));
  EXPECT_FALSE(Percentile({std::nan("")}, 95));
  EXPECT_EQ(Median({5, 1, 3}), 3);
  EXPECT_EQ(Median({4, 1, 3, 2, std::nan("")}), 2.5);
  std::vector<double> twenty;
  for (int i = 20; i >= 1; --i) twenty.push_back(i);
  EXPECT_EQ(Percentile(twenty, 95), 19);
  EXPECT_EQ(Percentile(twenty, 100), 20);
  EXPECT_EQ(Percentile(twenty, 0), 1);
  EXPECT_EQ(Percentile({7}, 95), 7);
}

}  // namespace
}  // namespace kqdtb::trace
