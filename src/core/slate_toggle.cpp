#include "core/slate_toggle.h"

#include "core/broadcast_rules.h"

namespace kqd {

SlateDecision SlateToggleTracker::Decide(UsageMode mode, int32_t slateMetric, uint64_t nowMs, bool announced) {
  SlateDecision decision;
  shownSlate_ = slateMetric == 0;
  if (inFlight_) {
    if (shownSlate_ == expectSlate_) {
      inFlight_ = false;
    } else if (nowMs - writtenAtMs_ >= kSlateToggleShowLimitMs) {
      inFlight_ = false;
      decision.gaveUp = true;
    } else {
      // A second toggle now could show before or after the first; the write waits.
      deferred_ = IsLaptopMode(mode) == expectSlate_;
      return decision;
    }
  }
  // Without this, a device that never takes the toggle would be written on every poll.
  const bool decides = announced || deferred_;
  deferred_ = false;
  decision.write = decides && SlateStateDisagrees(mode, slateMetric);
  return decision;
}

void SlateToggleTracker::Written(uint64_t nowMs) {
  inFlight_ = true;
  expectSlate_ = !shownSlate_;
  writtenAtMs_ = nowMs;
}

}  // namespace kqd
