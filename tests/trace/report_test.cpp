#include "trace/report.h"

#include <gtest/gtest.h>

namespace kqdtb::trace {
namespace {

ExpectedBurst Burst(std::optional<kqd::UsageMode> published) {
  ExpectedBurst burst;
  burst.published = published;
  return burst;
}

BurstResult Timed(std::optional<kqd::UsageMode> published, std::optional<double> toMode,
                  std::optional<double> toEnergy) {
  BurstResult result;
  result.expected = Burst(published);
  result.toModeMs = toMode;
  result.toEnergyMs = toEnergy;
  return result;
}

// Only publications count; a held burst's stray timing and a missing energy
// request are left out, and a figure with no measurement at all is null.
TEST(LatencyJson, CountsPublicationsOnlyAndNullsWhatWasNotMeasured) {
  Comparison comparison;
  comparison.expectation.source = Source::Wmi;
  comparison.bursts = {Timed(2, 12, 13), Timed(std::nullopt, 500, 500), Timed(3, 14, std::nullopt),
                       Timed(1, 16, 17)};
  EXPECT_EQ(FormatLatencyJson(comparison),
            "{\"source\": \"wmi\", \"timed\": 3, \"designed_ms\": 10, \"mode_median_ms\": 14.00, "
            "\"mode_p95_ms\": 16.00, \"energy_median_ms\": 15.00, \"energy_p95_ms\": 17.00, "
            "\"as_expected\": true}\n");

  comparison.expectation.source = Source::Driver;
  comparison.bursts = {Timed(2, 1.5, std::nullopt)};
  comparison.differences = {"800 ms: Mode 3, expected 2"};
  EXPECT_EQ(FormatLatencyJson(comparison),
            "{\"source\": \"driver\", \"timed\": 1, \"designed_ms\": 0, \"mode_median_ms\": 1.50, "
            "\"mode_p95_ms\": 1.50, \"energy_median_ms\": null, \"energy_p95_ms\": null, "
            "\"as_expected\": false}\n");
}

}  // namespace
}  // namespace kqdtb::trace
