#pragma once
// What one mode announcement sends: the slate-toggle decision and the requests
// to the energy-management driver, kept free of the platform.

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/usage_mode.h"

namespace kqd {

// The energy-management driver's notify request: no output buffer, 12 bytes in.
inline constexpr uint32_t kPwrAuxNotifyControlCode = 0x831020C0;  // CTL_CODE(0x8310, 0x830, BUFFERED, ANY_ACCESS)
inline constexpr uint32_t kPwrAuxRequestSize = 12;

// Third field of the request when it does not carry the raw mode.
enum PwrAuxCode : uint32_t {
  kPwrAuxPostureSlate = 8,
  kPwrAuxPostureLaptop = 9,
  kPwrAuxAttach = 10,
  kPwrAuxDetach = 11,
};

using PwrAuxRequestBytes = std::array<uint8_t, kPwrAuxRequestSize>;

// Little-endian {12, 1, codeOrMode}.
PwrAuxRequestBytes EncodePwrAuxRequest(uint32_t codeOrMode);

constexpr uint32_t PostureCode(UsageMode mode) {
  return IsLaptopMode(mode) ? kPwrAuxPostureLaptop : kPwrAuxPostureSlate;
}

// slateMetric is GetSystemMetrics(SM_CONVERTIBLESLATEMODE): 0 is slate, anything else
// laptop. The toggle is written only when that state disagrees with the mode.
constexpr bool SlateStateDisagrees(UsageMode mode, int32_t slateMetric) {
  return IsLaptopMode(mode) == (slateMetric == 0);
}

// The third fields of the notify requests for one announcement, in sending order.
class PwrAuxSequence {
 public:
  void push_back(uint32_t value) {
    if (count_ < values_.size()) values_[count_++] = value;
  }
  const uint32_t* begin() const { return values_.data(); }
  const uint32_t* end() const { return values_.data() + count_; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  std::array<uint32_t, 2> values_{};
  std::size_t count_ = 0;
};

// Posture code first, then the raw mode, each only when its switch is on.
PwrAuxSequence PwrAuxRequestsFor(UsageMode mode, const BroadcastSwitches& switches);

struct AnnouncementPlan {
  bool writeSlateByte = false;  // one 0x00 byte to the slate-toggle device
  PwrAuxSequence requests;
};

AnnouncementPlan PlanAnnouncement(UsageMode mode, const BroadcastSwitches& switches, int32_t slateMetric,
                                  bool slateDeviceOpen);

}  // namespace kqd
