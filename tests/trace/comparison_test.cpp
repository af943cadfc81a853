#include "trace/comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "trace/stats.h"

namespace kqdtb::trace {
namespace {

// A sensor trace with a hold (row 2), a burst (rows 3-4) and a return to laptop.
Trace SensorTrace() {
  Trace trace;
  trace.rows = {{0, 100, 90}, {500, 170, 90}, {1000, 355, 200}, {1030, 250, 200}, {1500, 100, 90}};
  return trace;
}

Event Published(EventKind kind, double timeMs, std::uint32_t value) { return {kind, timeMs, 0, 0, value}; }

// What a service that publishes `latency` ms after each burst's last input
// records: slate write, posture code, raw mode, then "Mode" (which Wine leaves
// unannounced when it is already stored).
Record RecordAsExpected(const Trace& trace, Source source, double latency,
                        std::optional<std::uint32_t> start = std::nullopt) {
  Record record;
  record.source = std::string(SourceName(source));
  record.startMode = start;
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
    if (source != Source::Driver) {
      if (mode <= 1) record.events.push_back(Published(EventKind::Slate, at - 1, 0));
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
  const Comparison comparison = MustCompare(trace, RecordAsExpected(trace, Source::Sensor, 210));
  EXPECT_TRUE(comparison.AsExpected()) << comparison.differences.front();
  ASSERT_EQ(comparison.bursts.size(), 4u);
  EXPECT_EQ(comparison.bursts[1].modes.size(), 0u);  // the held step
  EXPECT_EQ(comparison.bursts[2].energy, (std::vector<std::uint32_t>{8, 4}));
  EXPECT_EQ(comparison.bursts[3].slateWrites, 1u);
  EXPECT_FALSE(comparison.bursts[3].slateJudged);  // the record has no slatestart
  const LatencySummary latency = comparison.Latencies();
  ASSERT_TRUE(latency.modeMedian && latency.energyP95);
  EXPECT_NEAR(*latency.modeMedian, 212, 1e-6);
  EXPECT_NEAR(*latency.energyP95, 210, 1e-6);
  EXPECT_EQ(latency.designedDelayMs, 200);
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
           if (e.kind != EventKind::Input && e.timeMs > 1000 && e.timeMs < 1400) e.timeMs -= 225;
         }
       },
       "before the burst's last input"},
      {"a lost input", [](Record& r) { r.events.erase(Find(r, EventKind::Input, 1400)); }, "5 rows"},
      {"other angles delivered", [](Record& r) { Find(r, EventKind::Input, 400)->b = std::nanf(""); },
       "input 2 delivered 170,nan"},
  };
  for (const auto& c : cases) {
    Record record = RecordAsExpected(trace, Source::Sensor, 210);
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
  Record record = RecordAsExpected(trace, Source::Wmi, 15, 2u);
  EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                          [](const Event& e) { return e.kind == EventKind::Mode; }),
            0);
  EXPECT_TRUE(MustCompare(trace, record).AsExpected());

  record.events.erase(Find(record, EventKind::Energy, 400));
  record.events.erase(Find(record, EventKind::Energy, 400));
  EXPECT_FALSE(MustCompare(trace, record).AsExpected());
}

TEST(Compare, DriverPublicationsCarryNoEnergyRequests) {
  Trace trace;
  trace.hasWord = true;
  trace.rows = {{0, 0, 0, std::nullopt, 0x00020003u}, {500, 0, 0, std::nullopt, 0x00020001u}};
  Record record = RecordAsExpected(trace, Source::Driver, 5);
  EXPECT_TRUE(MustCompare(trace, record).AsExpected());
  record.events.push_back(Published(EventKind::Energy, 510, 9));
  EXPECT_FALSE(MustCompare(trace, record).AsExpected());
}

TEST(Compare, APublicationWithoutInputsIsADifference) {
  Record record;
  record.source = "sensor";
  record.events.push_back(Published(EventKind::Energy, 10, 9));
  EXPECT_FALSE(MustCompare(Trace{}, record).AsExpected());
}

TEST(Compare, AmbiguousDeliveryAndUnusableRecords) {
  const Trace trace = SensorTrace();
  Record record = RecordAsExpected(trace, Source::Sensor, 210);
  Find(record, EventKind::Input, 1010)->timeMs = 1000.3 + 190;  // the burst's gap lands near the debounce
  const Comparison comparison = MustCompare(trace, record);
  EXPECT_TRUE(comparison.Ambiguous());
  EXPECT_FALSE(comparison.AsExpected());

  record.source = "gyro";
  std::string error;
  EXPECT_FALSE(Compare(trace, record, &error));
  EXPECT_NE(error.find("gyro"), std::string::npos);

  // A WMI record of a trace without modes cannot be judged.
  record = RecordAsExpected(trace, Source::Sensor, 210);
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
