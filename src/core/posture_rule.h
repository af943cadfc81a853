#pragma once
// The G-sensor's posture rule: two hinge angles in degrees to a usage mode, with
// a margin around each threshold so that a hinge resting on one does not flicker.

#include <optional>

#include "core/usage_mode.h"

namespace kqd {

// A below this is the lid folded fully back, read as 360.
inline constexpr float kPostureWrapBelow = 10.0f;
inline constexpr float kPostureWrapTo = 360.0f;
// Entering: laptop below 190, tablet above 350, in between B splits the folds at 180.
inline constexpr float kPostureLaptopBelow = 190.0f;
inline constexpr float kPostureTabletAbove = 350.0f;
inline constexpr float kPostureFoldSplit = 180.0f;
// Leaving a mode needs this much more.
inline constexpr float kPostureMargin = 3.0f;

inline constexpr UsageMode kModeLaptop = 1;
inline constexpr UsageMode kModeTablet = 2;
inline constexpr UsageMode kModeFoldedLow = 3;   // B below the split
inline constexpr UsageMode kModeFoldedHigh = 4;  // B at or above the split

// nullopt when `current` is held; otherwise the new mode. Comparisons with NaN
// are false, so a NaN angle never holds a mode.
std::optional<UsageMode> ApplyPostureRule(UsageMode current, float a, float b);

}  // namespace kqd
