#include "sources/sensor_value_table.h"

namespace kqd {
namespace {

// SENSOR_DATA_TYPE_CUSTOM_GUID
constexpr GUID kCustomDataGuid = {0xb14c764f, 0x07cf, 0x41e8, {0x9d, 0x82, 0xeb, 0xe3, 0xd0, 0x77, 0x6a, 0x6f}};
constexpr DWORD kFirstValuePid = 7;

}  // namespace

std::vector<SensorValueSlot> MakeSensorValueTable() {
  std::vector<SensorValueSlot> table;
  for (DWORD row = 0; row < 6; ++row) {
    table.push_back({L"Val" + std::to_wstring(row + 1), PROPERTYKEY{kCustomDataGuid, kFirstValuePid + row}, 0.0f});
  }
  return table;
}

}  // namespace kqd
