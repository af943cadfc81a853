#pragma once
// Summaries of measured times, shared by the replay checks and the benchmarks.

#include <optional>
#include <vector>

namespace kqdtb::trace {

// Nearest-rank percentile (p in 0..100) of the samples; NaN samples are left out.
// Nothing when no sample is left.
std::optional<double> Percentile(std::vector<double> samples, double p);

// The middle sample, or the mean of the two middle ones; NaN samples are left out.
std::optional<double> Median(std::vector<double> samples);

}  // namespace kqdtb::trace
