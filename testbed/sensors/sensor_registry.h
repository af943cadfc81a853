#pragma once
// The double's status values, written only by the loaded double.

#include <windows.h>

namespace kqdtb::sensors {

bool WriteStatus(const wchar_t* name, DWORD value);

}  // namespace kqdtb::sensors
