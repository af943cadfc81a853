#include "trace/expectation.h"

#include <cmath>

#include "core/driver_mode.h"
#include "core/posture_rule.h"

namespace kqdtb::trace {
namespace {

// The driver double answers for modes 0 to 4 only.
constexpr kqd::UsageMode kHighestDriverMode = kqd::kModeFoldedHigh;

}  // namespace

Grouping GroupBursts(const std::vector<Row>& rows, Source source) {
  const double delay = kqd::ModeSourceDelayMs(source);
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
    case kqd::kSourceNone:
    case kqd::kSourceSensorApi: return std::nullopt;
    case kqd::kSourceWmi: return row.mode;
    case kqd::kSourceDriver:
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
    ExpectedBurst expected{burst, last.timeMs, last.timeMs + kqd::ModeSourceDelayMs(source), std::nullopt};
    if (source == kqd::kSourceSensorApi) {
      // Only the latest angles count when the hinge has come to rest.
      expected.published = kqd::ApplyPostureRule(current, last.a, last.b);
    } else {
      // The provider and the driver are asked once per input; the last answer is published.
      for (std::size_t i = burst.first; i <= burst.last; ++i) {
        expected.published = ReportedMode(rows[i], source);
        if (!expected.published) {
          if (error != nullptr) {
            *error = "row " + std::to_string(i + 1) + " has no " +
                     (source == kqd::kSourceWmi ? "mode" : "word, nor a mode from 0 to 4") + " for the " +
                     std::string(kqd::ModeSourceName(source)) + " source";
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
