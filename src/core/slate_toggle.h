#pragma once
// The slate-toggle write as a decision over time. The system applies a toggle
// some time after the device took it, so for a while the state it reports is the
// one from before the write: a decision made on that state would write again, or
// fail to write, and leave the system in the wrong state for good. While a toggle
// of ours has not shown, decisions rest on the state it leads to instead.

#include <cstdint>

#include "core/usage_mode.h"

namespace kqd {

// How long a toggle may take to show before the system's own state is trusted
// again (a device that dropped it, or another party that toggled back). Far above
// what the indicator takes on a loaded machine, and it only ever delays the one
// write that a mode reversed during the wait calls for.
inline constexpr uint32_t kSlateToggleShowLimitMs = 2000;
// How often the state is read while a toggle of ours has not shown yet.
inline constexpr uint32_t kSlateTogglePollMs = 10;

struct SlateDecision {
  bool write = false;   // write the one toggle byte now
  bool gaveUp = false;  // a toggle did not show within the limit; the system's state is trusted again
};

class SlateToggleTracker {
 public:
  // slateMetric is GetSystemMetrics(SM_CONVERTIBLESLATEMODE), 0 for slate. On an
  // announcement the rule applies as ever (write when the state disagrees with the
  // mode), against the state our last toggle leads to while it has not shown. A
  // poll (announced false) writes only what an announcement had to leave waiting.
  SlateDecision Decide(UsageMode mode, int32_t slateMetric, uint64_t nowMs, bool announced);
  // After a write that Decide asked for and the device took.
  void Written(uint64_t nowMs);
  // A toggle of ours has not shown yet: the state must be read again soon.
  bool InFlight() const { return inFlight_; }

 private:
  bool inFlight_ = false;
  bool expectSlate_ = false;  // the state the toggle in flight leads to
  uint64_t writtenAtMs_ = 0;
  bool deferred_ = false;     // a mode disagreed with the toggle in flight
  bool shownSlate_ = false;   // the state read by the last decision
};

}  // namespace kqd
