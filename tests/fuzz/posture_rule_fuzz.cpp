// The sensor report values: a run of (A, B) angle pairs, as the evaluation sees
// them after each burst, carried through the posture rule from an arbitrary mode.
#include <cmath>
#include <cstring>
#include <optional>

#include "core/posture_rule.h"
#include "fuzz_check.h"

namespace {

bool Held(kqd::UsageMode mode, float a, float b) { return !kqd::ApplyPostureRule(mode, a, b).has_value(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t start;
  std::memcpy(&start, data, sizeof start);
  kqd::UsageMode mode = start % 8;  // a few values past the known modes too
  data += 4;
  size -= 4;

  for (; size >= 8; data += 8, size -= 8) {
    float a;
    float b;
    std::memcpy(&a, data, sizeof a);
    std::memcpy(&b, data + 4, sizeof b);

    const std::optional<kqd::UsageMode> next = kqd::ApplyPostureRule(mode, a, b);
    KQD_FUZZ_CHECK(next == kqd::ApplyPostureRule(mode, a, b));
    if (!next) {
      // Only a known mode is ever held.
      KQD_FUZZ_CHECK(mode >= kqd::kModeLaptop && mode <= kqd::kModeFoldedHigh);
      continue;
    }
    KQD_FUZZ_CHECK(*next >= kqd::kModeLaptop && *next <= kqd::kModeFoldedHigh);
    if (!std::isnan(a) && !std::isnan(b)) {
      // A change is a change, and the mode entered holds at the angles that entered it.
      KQD_FUZZ_CHECK(*next != mode);
      KQD_FUZZ_CHECK(Held(*next, a, b));
      // The lid folded fully back reads as 360: the tablet.
      if (a < kqd::kPostureWrapBelow) KQD_FUZZ_CHECK(*next == kqd::kModeTablet);
    }
    mode = *next;
  }
  return 0;
}
