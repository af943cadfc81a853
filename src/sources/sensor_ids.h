#pragma once
// Sensor API identifiers that MinGW's sensors.h lacks, with the SDK's values, and
// the one sensor this service looks for.

#include <windows.h>
#include <wtypes.h>
#include <propkeydef.h>

namespace kqd {

// SENSOR_TYPE_CUSTOM
inline constexpr GUID kSensorTypeCustom = {0xe83af229, 0x8640, 0x4d18, {0xa2, 0x13, 0xe2, 0x26, 0x75, 0xeb, 0xb2, 0xc3}};
// SENSOR_DATA_TYPE_CUSTOM_GUID: the format of the custom data fields
inline constexpr GUID kSensorDataTypeCustom = {
    0xb14c764f, 0x07cf, 0x41e8, {0x9d, 0x82, 0xeb, 0xe3, 0xd0, 0x77, 0x6a, 0x6f}};
// SENSOR_PROPERTY_MODEL
inline constexpr PROPERTYKEY kSensorPropertyModel = {
    {0x7f8383ec, 0xd3ec, 0x495c, {0xa8, 0xcf, 0xb8, 0xbb, 0xe8, 0x5c, 0x29, 0x20}}, 7};
// CLSID_SensorManager
inline constexpr CLSID kClsidSensorManager = {
    0x77a1c827, 0xfcd2, 0x4689, {0x89, 0x15, 0x9d, 0x61, 0x3c, 0xc5, 0xfa, 0x3e}};

// Compared with its terminating zero, letter case included.
inline constexpr wchar_t kSensorModel[] = L"Tavmir Zarn";

}  // namespace kqd
