#include "trace/stats.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kqdtb::trace {
namespace {

std::vector<double> SortedNumbers(std::vector<double> samples) {
  std::erase_if(samples, [](double x) { return std::isnan(x); });
  std::sort(samples.begin(), samples.end());
  return samples;
}

}  // namespace

std::optional<double> Percentile(std::vector<double> samples, double p) {
  samples = SortedNumbers(std::move(samples));
  if (samples.empty() || std::isnan(p)) return std::nullopt;
  p = std::clamp(p, 0.0, 100.0);
  // Nearest rank: the smallest sample with at least p% of the samples at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  return samples[rank == 0 ? 0 : rank - 1];
}

std::optional<double> Median(std::vector<double> samples) {
  samples = SortedNumbers(std::move(samples));
  if (samples.empty()) return std::nullopt;
  const std::size_t half = samples.size() / 2;
  return samples.size() % 2 != 0 ? samples[half] : (samples[half - 1] + samples[half]) / 2;
}

}  // namespace kqdtb::trace
