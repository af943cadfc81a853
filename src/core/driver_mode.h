#pragma once
// The power-management driver's answer word and the "Type2" flip rule, kept free
// of the platform.

#include <cstdint>

#include "core/usage_mode.h"

namespace kqd {

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9C0, METHOD_BUFFERED, FILE_ANY_ACCESS): no input,
// a 4-byte answer word out.
inline constexpr uint32_t kDriverModeControlCode = 0x00222700;

// Bit 29 of "Type2" is the driver sibling's "ask again" toggle; the other bits are
// its own business.
inline constexpr uint32_t kType2QueryBit = 0x20000000;

// Format in bits 16-31, the driver's mode code in bits 0-15. Formats other than
// 1 to 4, and codes the table does not name, give 0 (unknown).
UsageMode UsageModeFromDriverAnswer(uint32_t answer);

constexpr bool Type2QueryBitFlipped(uint32_t remembered, uint32_t current) {
  return ((remembered ^ current) & kType2QueryBit) != 0;
}

}  // namespace kqd
