#pragma once
// What each method of the G-sensor provider's data class answers into.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kqd {

struct WmiMethodTarget {
  enum Kind { kNone, kUsageMode, kTableRow };
  Kind kind = kNone;
  size_t row = 0;  // kTableRow: 0 is "Val1"
  friend bool operator==(const WmiMethodTarget&, const WmiMethodTarget&) = default;
};

// Names compare exactly, letter case included; any other name fills nothing.
WmiMethodTarget TargetOfWmiMethod(std::u16string_view name);

// A value method's "Data": its four bytes are the float, unchanged.
float TableValueFromData(uint32_t data);

}  // namespace kqd
