#include "trace/report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "trace/printf.h"

namespace kqdtb::trace {
namespace {

std::string Values(const std::vector<std::uint32_t>& values) {
  if (values.empty()) return "\u2014";
  std::string text;
  for (const std::uint32_t value : values) text += (text.empty() ? "" : " ") + std::to_string(value);
  return text;
}

std::string Latency(const std::optional<double>& ms) { return ms ? Printf("%.1f", *ms) : "\u2014"; }

std::string LatencyWithDelay(const std::optional<double>& ms, double delay) {
  return ms ? Printf("%.1f ms (%+.1f)", *ms, *ms - delay) : std::string("\u2014");
}

std::string Published(const ExpectedBurst& burst) {
  return burst.published ? Printf("%u %s", static_cast<unsigned>(*burst.published),
                                  ModeName(*burst.published).c_str())
                         : "holds";
}

std::string InputText(const Comparison& comparison, const ExpectedBurst& burst) {
  const Row& row = comparison.rows[burst.rows.last];
  // The angles always, so a WMI or driver walk still shows the hinge it stands for.
  std::string text = "A " + FormatFloat(row.a) + " B " + FormatFloat(row.b);
  const std::string mode = row.mode ? "mode " + std::to_string(*row.mode) : "mode ?";
  switch (comparison.expectation.source) {
    case kqd::kSourceNone:
    case kqd::kSourceSensorApi: break;
    case kqd::kSourceWmi: text += ", " + mode; break;
    case kqd::kSourceDriver:
      text += ", " + (row.word ? Printf("word 0x%08X", static_cast<unsigned>(*row.word)) : mode);
      break;
  }
  const std::size_t inputs = burst.rows.last - burst.rows.first + 1;
  if (inputs > 1) text += Printf(" (%zu inputs)", inputs);
  return text;
}

// The dash is three bytes of UTF-8 but one column wide.
std::size_t Shown(const std::string& value) {
  std::size_t shown = 0;
  for (const char c : value) shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return shown;
}

std::string Pad(std::string value, std::size_t width) {
  const std::size_t shown = Shown(value);
  if (shown < width) value.append(width - shown, ' ');
  return value;
}

// The writes to the slate-toggle device, then the system's state when the step ended.
std::string SlateText(const BurstResult& burst) {
  std::string text = burst.slateWrites == 0   ? "\u2014"
                     : burst.slateWrites == 1 ? "write"
                                              : std::to_string(burst.slateWrites) + " writes";
  return text + ", " + (burst.slateJudged ? SlateModeName(burst.slateAfter) : "?");
}

std::string SlateNotJudged(const Comparison& comparison) {
  return comparison.slateJudged || comparison.bursts.empty()
             ? std::string()
             : "slate: not judged, the record has no slate state from before the first input\n";
}

std::string AmbiguityText(const Expectation& expectation) {
  std::string text;
  for (const AmbiguousGap& gap : expectation.ambiguous) {
    text += Printf("  gap of %.1f ms before input %zu is within %.0f ms of the %s source's %u ms\n", gap.gapMs,
                   gap.row + 1, kTimingToleranceMs, std::string(kqd::ModeSourceName(expectation.source)).c_str(),
                   static_cast<unsigned>(kqd::ModeSourceDelayMs(expectation.source)));
  }
  return text;
}

}  // namespace

std::string FormatExpectation(const Expectation& expectation) {
  std::string text = "time_ms,mode\n";
  std::size_t inputs = 0;
  for (const ExpectedBurst& burst : expectation.bursts) {
    inputs += burst.rows.last - burst.rows.first + 1;
    if (burst.published) text += Printf("%.1f,%u\n", burst.dueMs, static_cast<unsigned>(*burst.published));
  }
  text += Printf("# %zu publications from %zu inputs in %zu bursts, %s source, start mode %u\n",
                 expectation.Publications(), inputs, expectation.bursts.size(),
                 std::string(kqd::ModeSourceName(expectation.source)).c_str(),
                 static_cast<unsigned>(expectation.startMode));
  return text;
}

std::string FormatLatencySummary(const LatencySummary& summary) {
  const double delay = summary.designedDelayMs;
  return "latency: to Mode median " + LatencyWithDelay(summary.modeMedian, delay) + ", p95 " +
         LatencyWithDelay(summary.modeP95, delay) + "; to energy median " +
         LatencyWithDelay(summary.energyMedian, delay) + ", p95 " + LatencyWithDelay(summary.energyP95, delay) +
         "; first published median " + LatencyWithDelay(summary.publishMedian, delay) +
         Printf("; (+x) less the designed %.0f ms\n", delay);
}

std::string FormatCheck(const Comparison& comparison) {
  const Expectation& expectation = comparison.expectation;
  const double delay = kqd::ModeSourceDelayMs(expectation.source);
  std::string text = Printf("source %s, start mode %u, %zu inputs in %zu bursts\n",
                            std::string(kqd::ModeSourceName(expectation.source)).c_str(),
                            static_cast<unsigned>(expectation.startMode), comparison.rows.size(),
                            expectation.bursts.size());
  for (const BurstResult& burst : comparison.bursts) {
    const bool ok = burst.problems.empty();
    if (!burst.expected.published && ok) continue;
    text += Printf("%10.1f ms  %-10s %-4s", burst.expected.lastInputMs, Published(burst.expected).c_str(),
                   ok ? "ok" : "FAIL");
    if (burst.expected.published) {
      text += "  Mode " + LatencyWithDelay(burst.toModeMs, delay) + "  energy " +
              LatencyWithDelay(burst.toEnergyMs, delay);
    }
    text += '\n';
  }
  text += SlateNotJudged(comparison);
  if (comparison.Ambiguous()) {
    text += "check: timing ambiguous, replay again\n" + AmbiguityText(expectation);
  }
  if (comparison.differences.empty() && comparison.OnTime()) {
    if (!comparison.Ambiguous()) {
      text += Printf("check: %zu publications as expected\n", expectation.Publications());
    }
  } else {
    text += Printf("check: %zu differences\n", comparison.differences.size() + comparison.timing.size());
    for (const std::string& difference : comparison.differences) text += "  " + difference + "\n";
    for (const std::string& problem : comparison.timing) text += "  timing: " + problem + "\n";
  }
  return text;
}

std::string FormatReport(const Comparison& comparison) {
  std::vector<std::string> slate;
  std::size_t slateWidth = 13;  // "write, laptop"
  for (const BurstResult& burst : comparison.bursts) {
    slate.push_back(SlateText(burst));
    slateWidth = std::max(slateWidth, Shown(slate.back()));
  }
  std::string text = Printf("%10s  %-30s %-8s %-10s %-8s %-*s %-9s %-9s  %s\n", "time_ms", "input", "expected",
                            "Mode", "energy", static_cast<int>(slateWidth), "slate", "to Mode", "to energy", "result");
  for (std::size_t i = 0; i < comparison.bursts.size(); ++i) {
    const BurstResult& burst = comparison.bursts[i];
    const std::string expected =
        burst.expected.published ? std::to_string(*burst.expected.published) : std::string("holds");
    text += Printf("%10.1f  ", burst.expected.lastInputMs) + Pad(InputText(comparison, burst.expected), 30) + " " +
            Pad(expected, 8) + " " + Pad(Values(burst.modes), 10) + " " + Pad(Values(burst.energy), 8) + " " +
            Pad(slate[i], slateWidth) + " " + Pad(Latency(burst.toModeMs), 9) + " " +
            Pad(Latency(burst.toEnergyMs), 9) + "  " + (burst.problems.empty() ? "ok" : "FAIL") + "\n";
  }
  text += FormatLatencySummary(comparison.Latencies());
  text += SlateNotJudged(comparison);
  if (comparison.Ambiguous()) text += "timing ambiguous:\n" + AmbiguityText(comparison.expectation);
  for (const std::string& difference : comparison.differences) text += "difference: " + difference + "\n";
  for (const std::string& problem : comparison.timing) text += "timing: " + problem + "\n";
  return text;
}

std::string FormatLatencyJson(const Comparison& comparison) {
  const LatencySummary summary = comparison.Latencies();
  size_t timed = 0;
  for (const BurstResult& burst : comparison.bursts) {
    if (burst.expected.published && burst.toModeMs) ++timed;
  }
  const auto number = [](const std::optional<double>& ms) { return ms ? Printf("%.2f", *ms) : std::string("null"); };
  return Printf("{\"source\": \"%s\", \"timed\": %zu, \"designed_ms\": %.0f, ",
                std::string(kqd::ModeSourceName(comparison.expectation.source)).c_str(), timed,
                summary.designedDelayMs) +
         "\"mode_median_ms\": " + number(summary.modeMedian) + ", \"mode_p95_ms\": " + number(summary.modeP95) +
         ", \"energy_median_ms\": " + number(summary.energyMedian) +
         ", \"energy_p95_ms\": " + number(summary.energyP95) +
         ", \"publish_median_ms\": " + number(summary.publishMedian) +
         ", \"as_expected\": " + (comparison.AsExpected() ? "true" : "false") +
         ", \"on_time\": " + (comparison.OnTime() ? "true" : "false") + "}\n";
}

}  // namespace kqdtb::trace
