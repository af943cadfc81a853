#pragma once
// The usage mode and what the controller keeps beside it: plain values shared by
// the rules, the controller, the sources and the broadcaster.

#include <cstdint>

namespace kqd {

// 0 unknown, 1 laptop, 2 tablet, 3 and 4 the folded postures; larger values pass through.
using UsageMode = uint32_t;

// 0 and 1 count as laptop, everything from 2 up as slate.
constexpr bool IsLaptopMode(UsageMode mode) { return mode <= 1; }

enum ModeSourceKind : int32_t {
  kSourceNone = 0,
  kSourceSensorApi = 1,
  kSourceWmi = 2,
  kSourceDriver = 3,
};

struct BroadcastSwitches {
  uint32_t SlateSync = 1;
  uint32_t SendPostureCode = 1;
  uint32_t SendRawMode = 1;
  friend bool operator==(const BroadcastSwitches&, const BroadcastSwitches&) = default;
};

}  // namespace kqd
