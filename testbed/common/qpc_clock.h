#pragma once
// The testbed's common time line: the performance counter in 100 ns units. The
// kernel doubles stamp arrivals on it, so their records and a client's own
// readings compare directly.

#include <windows.h>

#include <cstdint>

namespace kqdtb {

inline std::uint64_t TicksTo100ns(std::uint64_t ticks, std::uint64_t frequency) {
  const std::uint64_t perSecond = frequency == 0 ? 1 : frequency;
  return ticks / perSecond * 10000000u + ticks % perSecond * 10000000u / perSecond;
}

inline std::uint64_t QpcNow100ns() {
  LARGE_INTEGER ticks;
  LARGE_INTEGER frequency;
  ::QueryPerformanceCounter(&ticks);
  ::QueryPerformanceFrequency(&frequency);
  return TicksTo100ns(static_cast<std::uint64_t>(ticks.QuadPart), static_cast<std::uint64_t>(frequency.QuadPart));
}

}  // namespace kqdtb
