#include "trace/expectation.h"

#include <cmath>

#include "core/driver_mode.h"
#include "core/posture_rule.h"

namespace kqdtb::trace {
namespace {

constexpr double kSensorDebounceMs = 200.0;  // the sensor source's wait for a quiet hinge
constexpr double kWmiBurstWindowMs = 10.0;   // the WMI source's wait after a query
// The driver double answers for modes 0 to 4 only.
constexpr kqd::UsageMode kHighestDriverMode = kqd::kModeFoldedHigh;

}  // namespace

std::optional<Source> ParseSource(std::string_view name) {
  for (const Source source : {Source::Sensor, Source::Wmi, Source::Driver}) {
    if (name == SourceName(source)) return source;
  }
  return std::nullopt;
}

std::string_view SourceName(Source source) {
  switch (source) {
    case Source::Sensor: return "sensor";
    case Source::Wmi: return "wmi";
    case Source::Driver: return "driver";
  }
  return "sensor";
}

double DesignedDelayMs(Source source) {
  switch (source) {
    case Source::Sensor: return kSensorDebounceMs;
    case Source::Wmi: return kWmiBurstWindowMs;
    case Source::Driver: return 0.0;
  }
  return 0.0;
}

kqd::BroadcastSwitches SwitchesOf(Source source) {
  if (source == Source::Driver) return {0, 0, 0};
  return {1, 1, 1};
}

Grouping GroupBursts(const std::vector<Row>& rows, Source source) {
  const double delay = DesignedDelayMs(source);
  Grouping grouping;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) {
      const double gap = rows[i].timeMs - rows[i - 1].timeMs;
      if (std::fabs(gap - delay) <= kTimingToleranceMs) grouping.ambiguous.push_back({i, gap});
      if (gap < delay) {
        grouping.bursts.back().last = i;
        continue;
      }
    }
    grouping.bursts.push_back({i, i});
  }
  return grouping;
}

std::size_t Expectation::Publications() const {
  std::size_t count = 0;
  for (const ExpectedBurst& burst : bursts) count += burst.published ? 1 : 0;
  return count;
}

std::optional<kqd::UsageMode> ReportedMode(const Row& row, Source source) {
  switch (source) {
    case Source::Sensor: return std::nullopt;
    case Source::Wmi: return row.mode;
    case Source::Driver:
      if (row.word) return kqd::UsageModeFromDriverAnswer(*row.word);
      if (row.mode && *row.mode <= kHighestDriverMode) return row.mode;
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Expectation> Expect(const std::vector<Row>& rows, Source source, kqd::UsageMode startMode,
                                  std::string* error) {
  Grouping grouping = GroupBursts(rows, source);
  Expectation expectation;
  expectation.source = source;
  expectation.startMode = startMode;
  expectation.ambiguous = std::move(grouping.ambiguous);
  kqd::UsageMode current = startMode;
  for (const Burst& burst : grouping.bursts) {
    const Row& last = rows[burst.last];
    ExpectedBurst expected{burst, last.timeMs, last.timeMs + DesignedDelayMs(source), std::nullopt};
    if (source == Source::Sensor) {
      // Only the latest angles count when the hinge has come to rest.
      expected.published = kqd::ApplyPostureRule(current, last.a, last.b);
    } else {
      // The provider and the driver are asked once per input; the last answer is published.
      for (std::size_t i = burst.first; i <= burst.last; ++i) {
        expected.published = ReportedMode(rows[i], source);
        if (!expected.published) {
          if (error != nullptr) {
            *error = "row " + std::to_string(i + 1) + " has no " +
                     (source == Source::Wmi ? "mode" : "word, nor a mode from 0 to 4") + " for the " +
                     std::string(SourceName(source)) + " source";
          }
          return std::nullopt;
        }
      }
    }
    if (expected.published) current = *expected.published;
    expectation.bursts.push_back(expected);
  }
  return expectation;
}

Trace DeriveModes(const Trace& trace, kqd::UsageMode startMode) {
  Trace derived = trace;
  derived.hasMode = true;
  kqd::UsageMode current = startMode;
  for (Row& row : derived.rows) {
    if (const auto next = kqd::ApplyPostureRule(current, row.a, row.b)) current = *next;
    row.mode = current;
  }
  return derived;
}

}  // namespace kqdtb::trace
