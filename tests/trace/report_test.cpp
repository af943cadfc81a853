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
  result.toPublishMs = toEnergy ? toEnergy : toMode;  // the requests go before "Mode"
  return result;
}

// Only publications count; a held burst's stray timing and a missing energy
// request are left out, and a figure with no measurement at all is null.
TEST(LatencyJson, CountsPublicationsOnlyAndNullsWhatWasNotMeasured) {
  Comparison comparison;
  comparison.expectation.source = kqd::kSourceWmi;
  comparison.bursts = {Timed(2, 12, 13), Timed(std::nullopt, 500, 500), Timed(3, 14, std::nullopt),
                       Timed(1, 16, 17)};
  EXPECT_EQ(FormatLatencyJson(comparison),
            "{\"source\": \"wmi\", \"timed\": 3, \"designed_ms\": " + std::to_string(kqd::kWmiBurstWindowMs) +
                ", \"mode_median_ms\": 14.00, "
            "\"mode_p95_ms\": 16.00, \"energy_median_ms\": 15.00, \"energy_p95_ms\": 17.00, "
            "\"publish_median_ms\": 14.00, \"as_expected\": true, \"on_time\": true}\n");

  comparison.expectation.source = kqd::kSourceDriver;
  comparison.bursts = {Timed(2, 1.5, std::nullopt)};
  comparison.differences = {"800 ms: Mode 3, expected 2"};
  comparison.timing = {"the median publication came 1.5 ms after the last input, outside 0.0 ms to 0.0 ms"};
  EXPECT_EQ(FormatLatencyJson(comparison),
            "{\"source\": \"driver\", \"timed\": 1, \"designed_ms\": 0, \"mode_median_ms\": 1.50, "
            "\"mode_p95_ms\": 1.50, \"energy_median_ms\": null, \"energy_p95_ms\": null, "
            "\"publish_median_ms\": 1.50, \"as_expected\": false, \"on_time\": false}\n");
}

// Display columns: the dash counts as one.
std::string Narrow(std::string text) {
  for (std::size_t at; (at = text.find("\u2014")) != std::string::npos;) text.replace(at, 3, "-");
  return text;
}

// Every row's slate cell and the timing after it start under their headings,
// however many writes a step saw; an unjudged record says so.
TEST(Report, TheSlateColumnStaysAlignedAndNamesWritesAndState) {
  Comparison comparison;
  comparison.expectation.source = kqd::kSourceSensorApi;
  comparison.rows = {{0, 100, 90}, {500, 355, 90}, {900, 355, 90}};
  comparison.slateJudged = true;
  const struct {
    std::size_t writes;
    SlateMode after;
    const char* cell;
  } steps[] = {{1, SlateMode::Laptop, "write, laptop"}, {0, SlateMode::Slate, "-, slate"},
               {2, SlateMode::Laptop, "2 writes, laptop"}};
  for (std::size_t i = 0; i < 3; ++i) {
    BurstResult burst = Timed(1, 212.5, 210.5);
    burst.expected.rows = {i, i};
    burst.slateJudged = true;
    burst.slateWrites = steps[i].writes;
    burst.slateAfter = steps[i].after;
    comparison.bursts.push_back(burst);
  }
  const std::string report = Narrow(FormatReport(comparison));
  const std::size_t header = report.find('\n');
  const std::size_t slate = report.find("slate");
  const std::size_t toMode = report.find("to Mode");
  ASSERT_LT(toMode, header);
  std::size_t line = header + 1;
  for (const auto& step : steps) {
    EXPECT_EQ(report.compare(line + slate, std::string(step.cell).size(), step.cell), 0)
        << step.cell << " in " << report.substr(line, report.find('\n', line) - line);
    EXPECT_EQ(report.compare(line + toMode, 5, "212.5"), 0) << step.cell;
    line = report.find('\n', line) + 1;
  }
  EXPECT_EQ(report.find("not judged"), std::string::npos);

  comparison.slateJudged = false;
  for (BurstResult& burst : comparison.bursts) burst.slateJudged = false;
  const std::string unjudged = Narrow(FormatReport(comparison));
  EXPECT_EQ(unjudged.compare(unjudged.find('\n') + 1 + slate, 9, "write, ? "), 0);
  EXPECT_NE(unjudged.find("slate: not judged"), std::string::npos);
}

}  // namespace
}  // namespace kqdtb::trace
