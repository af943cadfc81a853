#pragma once
// The Windows release test on the "ReleaseId" text.

#include <cstdint>
#include <string_view>

namespace kqd {

// Base-10 conversion with wcstol's rules and Windows' 32-bit long: leading white
// space and one sign accepted, stops at the first non-digit, 0 without digits,
// clamped to the long range on overflow. The text ends at its first NUL.
int32_t ParseReleaseId(std::u16string_view text);

inline constexpr int32_t kRelease1903 = 1903;

inline bool IsReleaseBefore1903(std::u16string_view releaseId) {
  return ParseReleaseId(releaseId) < kRelease1903;
}

}  // namespace kqd
