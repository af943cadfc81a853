#include "core/mode_name.h"

#include "core/posture_rule.h"

namespace kqd {

std::string ModeName(UsageMode mode) {
  switch (mode) {
    case 0: return "unknown";
    case kModeLaptop: return "laptop";
    case kModeTablet: return "tablet";
    case kModeFoldedLow: return "fold 3";
    case kModeFoldedHigh: return "fold 4";
    default: return std::to_string(mode);
  }
}

}  // namespace kqd
