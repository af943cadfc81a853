#pragma once
// The replay's clock: the performance counter, in 100 ns units, from a zero taken
// just before the first input.

#include <cstdint>

namespace kqdtb::replay {

class ReplayClock {
 public:
  // Takes the zero now.
  ReplayClock();

  std::uint64_t zero() const { return zero_; }
  // The counter now, in 100 ns units (the same units as zero()).
  static std::uint64_t Now();
  double ElapsedMs() const;

  // Returns at `ms` after the zero, or at once when that has passed: sleeps while
  // far off, then spins the last stretch so an input lands within a fraction of a
  // millisecond of its time.
  void WaitUntil(double ms) const;

 private:
  std::uint64_t zero_;
};

}  // namespace kqdtb::replay
