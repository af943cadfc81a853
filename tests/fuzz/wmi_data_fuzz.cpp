// The WMI "Data" value and the method name it answers: four bytes, then the name
// as UTF-16. A mode goes to the broadcaster as it came; a table value keeps its bits.
#include <cstring>

#include "core/broadcast_rules.h"
#include "core/wmi_methods.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t value;
  std::memcpy(&value, data, sizeof value);
  const std::u16string name = kqd::fuzz::Utf16(data + 4, size - 4);

  const kqd::WmiMethodTarget target = kqd::TargetOfWmiMethod(name);
  KQD_FUZZ_CHECK(target == kqd::TargetOfWmiMethod(name));
  switch (target.kind) {
    case kqd::WmiMethodTarget::kNone:
      break;
    case kqd::WmiMethodTarget::kUsageMode: {
      KQD_FUZZ_CHECK(name == u"GetUsageMode");
      // Any mode, known or not, gives a well-formed announcement.
      const kqd::BroadcastSwitches on;
      const kqd::AnnouncementPlan plan = kqd::PlanAnnouncement(value, on, 1, true);
      KQD_FUZZ_CHECK(plan.requests.size() == 2);
      KQD_FUZZ_CHECK(*plan.requests.begin() == kqd::PostureCode(value));
      KQD_FUZZ_CHECK(*(plan.requests.begin() + 1) == value);
      KQD_FUZZ_CHECK(plan.writeSlateByte == !kqd::IsLaptopMode(value));
      const kqd::PwrAuxRequestBytes bytes = kqd::EncodePwrAuxRequest(value);
      uint32_t carried;
      std::memcpy(&carried, bytes.data() + 8, sizeof carried);
      KQD_FUZZ_CHECK(carried == value);  // the test hosts are little-endian, as Windows
      break;
    }
    case kqd::WmiMethodTarget::kTableRow: {
      KQD_FUZZ_CHECK(target.row < 6);
      KQD_FUZZ_CHECK(name.size() == 13 || name.size() == 14);
      const float stored = kqd::TableValueFromData(value);
      uint32_t bits;
      std::memcpy(&bits, &stored, sizeof bits);
      KQD_FUZZ_CHECK(bits == value);  // NaN payloads included
      break;
    }
  }
  return 0;
}
