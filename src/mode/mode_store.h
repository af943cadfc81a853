#pragma once
// The registry values the service keeps, always in the 64-bit view.

#include <windows.h>

#include "core/usage_mode.h"

namespace kqd {

inline constexpr wchar_t kModeKeyPath[] = L"SOFTWARE\\Tavmir\\TarsiMode";
inline constexpr wchar_t kModeValueName[] = L"Mode";
inline constexpr wchar_t kEnableLogValueName[] = L"EnableLog";
inline constexpr wchar_t kVersionKeyPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Writes one REG_DWORD, creating the key when needed, and flushes it.
bool WriteDwordValue(HKEY root, PCWSTR subkey, PCWSTR valueName, DWORD value);

void WriteStoredMode(UsageMode mode);

// The stored mode, or 0 when it cannot be read.
UsageMode ReadStoredMode();

// Removes "EnableLog", "Mode" and the mode key; each failure is reported and the next part runs.
void DeleteModeStore();

// True on a system older than Windows 10 release 1903, or when the release cannot be told.
bool IsOsBefore1903();

}  // namespace kqd
