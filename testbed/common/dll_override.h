#pragma once
// Wine's per-executable DLL load order: HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides.
// The testbed's native doubles of system DLLs (cfgmgr32, powrprof) are turned on
// this way for the executables that should get them, and only for those.

#include <windows.h>

#include <string_view>

namespace kqdtb {

// "native,builtin" for `dll` (a name without ".dll") in `exeName` (a file name, no folder).
bool SetNativeOverride(std::wstring_view exeName, const wchar_t* dll);
// Clears `dll`'s override from every executable; keys left empty go too.
bool RemoveNativeOverrides(const wchar_t* dll);

// Deletes the key when it has neither values nor subkeys.
void DeleteKeyIfEmpty(HKEY root, const wchar_t* path);

}  // namespace kqdtb
