#include "core/driver_mode.h"

namespace kqd {

UsageMode UsageModeFromDriverAnswer(uint32_t answer) {
  const uint32_t format = answer >> 16;
  const uint32_t code = answer & 0xFFFFu;
  if (format < 1 || format > 4) return 0;
  switch (code) {
    case 1:
      return 1;
    case 3:
      return 2;
    case 4:
      return 3;
    case 5:
      // Format 1 predates the second folded posture.
      return format == 1 ? 0 : 4;
    default:
      return 0;
  }
}

}  // namespace kqd
