#include "core/wmi_methods.h"

#include <cstring>

namespace kqd {
namespace {

// Row by row: "Val1" .. "Val6".
constexpr std::u16string_view kValueMethods[] = {u"GetXaxisValue",  u"GetYaxisValue",  u"GetZaxisValue",
                                                 u"GetAngle4Value", u"GetAngle5Value", u"GetAngle6Value"};

}  // namespace

WmiMethodTarget TargetOfWmiMethod(std::u16string_view name) {
  if (name == u"GetUsageMode") return {WmiMethodTarget::kUsageMode, 0};
  for (size_t row = 0; row < std::size(kValueMethods); ++row) {
    if (name == kValueMethods[row]) return {WmiMethodTarget::kTableRow, row};
  }
  return {};
}

float TableValueFromData(uint32_t data) {
  static_assert(sizeof(float) == sizeof(uint32_t));
  float value;
  std::memcpy(&value, &data, sizeof value);
  return value;
}

}  // namespace kqd
