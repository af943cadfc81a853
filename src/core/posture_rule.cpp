#include "core/posture_rule.h"

namespace kqd {
namespace {

bool Held(UsageMode current, float a, float b) {
  const bool folded = a > kPostureLaptopBelow - kPostureMargin && a < kPostureTabletAbove + kPostureMargin;
  switch (current) {
    case kModeLaptop: return a < kPostureLaptopBelow + kPostureMargin;
    case kModeTablet: return a > kPostureTabletAbove - kPostureMargin;
    case kModeFoldedLow: return folded && b < kPostureFoldSplit + kPostureMargin;
    case kModeFoldedHigh: return folded && b > kPostureFoldSplit - kPostureMargin;
    default: return false;
  }
}

}  // namespace

std::optional<UsageMode> ApplyPostureRule(UsageMode current, float a, float b) {
  if (a < kPostureWrapBelow) a = kPostureWrapTo;
  if (Held(current, a, b)) return std::nullopt;
  if (a < kPostureLaptopBelow) return kModeLaptop;
  if (a > kPostureTabletAbove) return kModeTablet;
  return b < kPostureFoldSplit ? kModeFoldedLow : kModeFoldedHigh;
}

}  // namespace kqd
