#include "trace/replay/replay_clock.h"

#include <windows.h>

#include "common/qpc_clock.h"

namespace kqdtb::replay {
namespace {

// Sleep may overshoot by about a millisecond; the rest is spun.
constexpr double kSpinMs = 2.0;

}  // namespace

ReplayClock::ReplayClock() : zero_(Now()) {}

std::uint64_t ReplayClock::Now() { return QpcNow100ns(); }

double ReplayClock::ElapsedMs() const { return static_cast<double>(Now() - zero_) / 10000.0; }

void ReplayClock::WaitUntil(double ms) const {
  for (;;) {
    const double left = ms - ElapsedMs();
    if (left <= 0) return;
    if (left > kSpinMs) {
      ::Sleep(static_cast<DWORD>(left - kSpinMs + 0.5));
    } else {
      ::SwitchToThread();
    }
  }
}

}  // namespace kqdtb::replay
