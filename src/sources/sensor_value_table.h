#pragma once
// The six custom data fields of the G-sensor, as the sensor and WMI sources keep them.

#include <windows.h>
#include <wtypes.h>

#include <string>
#include <vector>

namespace kqd {

struct SensorValueSlot {
  std::wstring name;
  PROPERTYKEY key;
  float value = 0;
};

// Rows "Val1" to "Val6" in this order, keys SENSOR_DATA_TYPE_CUSTOM_VALUE1..6, values 0.
std::vector<SensorValueSlot> MakeSensorValueTable();

inline constexpr size_t kRowVal5 = 4, kRowVal6 = 5;  // B and A

}  // namespace kqd
