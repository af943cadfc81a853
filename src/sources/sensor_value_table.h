#pragma once
// The six custom data fields of the G-sensor, "Val1" to "Val6", as the Sensor API
// and WMI sources keep them. Rows are found by position.

#include <windows.h>
#include <wtypes.h>
#include <propkeydef.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kqd {

struct SensorValueSlot {
  std::wstring name;
  PROPERTYKEY key;
  float value = 0.0f;
};

// Zero-based positions of the rows the posture rule reads.
inline constexpr size_t kSensorRowCount = 6;
inline constexpr size_t kSensorRowB = 4;  // row 5, "Val5"
inline constexpr size_t kSensorRowA = 5;  // row 6, "Val6"

// Rows "Val1".."Val6" in order: SENSOR_DATA_TYPE_CUSTOM_GUID with property ids 7..12, values 0.
std::vector<SensorValueSlot> MakeSensorValueTable();

}  // namespace kqd
