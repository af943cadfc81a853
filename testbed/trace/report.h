#pragma once
// Text for people and scripts: the expected publications, the check of a replay
// and the per-burst table.

#include <string>

#include "trace/comparison.h"
#include "trace/expectation.h"

namespace kqdtb::trace {

// "time_ms,mode" lines, one per publication, and a closing "# N publications ..." line.
std::string FormatExpectation(const Expectation& expectation);

// Each expected publication with ok/FAIL and its latencies, then the verdict.
std::string FormatCheck(const Comparison& comparison);

// One line per input burst, then the latency summary.
std::string FormatReport(const Comparison& comparison);

// Median and 95th percentile to "Mode" and to the first energy request, raw and
// less the source's designed delay.
std::string FormatLatencySummary(const LatencySummary& summary);

// The same figures for a benchmark, as one JSON object: the source, how many
// publications were timed, the designed delay, each figure in ms (null when none
// was measured) and whether the replay went as expected.
std::string FormatLatencyJson(const Comparison& comparison);

}  // namespace kqdtb::trace
