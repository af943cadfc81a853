#include "sources/sensor_value_table.h"

#include "sources/sensor_ids.h"

namespace kqd {

std::vector<SensorValueSlot> MakeSensorValueTable() {
  constexpr DWORD kFirstPropertyId = 7;
  std::vector<SensorValueSlot> table;
  table.reserve(kSensorRowCount);
  for (DWORD row = 0; row < kSensorRowCount; ++row) {
    table.push_back({L"Val" + std::to_wstring(row + 1), {kSensorDataTypeCustom, kFirstPropertyId + row}, 0.0f});
  }
  return table;
}

}  // namespace kqd
