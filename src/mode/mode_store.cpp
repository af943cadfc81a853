#include "mode/mode_store.h"

#include <string_view>

#include "core/release_id.h"
#include "win/output.h"
#include "win/registry_view.h"
#include "win/unique_handle.h"
#include "win/wide.h"

namespace kqd {
namespace {

win::UniqueHkey OpenKey(HKEY root, PCWSTR subkey, REGSAM access) {
  win::UniqueHkey key;
  if (::RegOpenKeyExW(root, subkey, 0, access, key.put()) != ERROR_SUCCESS) key.reset();
  return key;
}

bool QueryDword(HKEY key, PCWSTR valueName, DWORD& value) {
  DWORD type = REG_DWORD;
  DWORD size = sizeof(value);
  return ::RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
         ERROR_SUCCESS;
}

}  // namespace

bool WriteDwordValue(HKEY root, PCWSTR subkey, PCWSTR valueName, DWORD value) {
  const REGSAM access = win::WithRegistryView(KEY_QUERY_VALUE | KEY_SET_VALUE);
  win::UniqueHkey key = OpenKey(root, subkey, access);
  if (!key) {
    if (::RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access | KEY_CREATE_SUB_KEY,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
      key.reset();
    }
  }
  if (!key) return false;
  const LSTATUS set = ::RegSetValueExW(key.get(), valueName, 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&value), sizeof(value));
  ::RegFlushKey(key.get());
  return set == ERROR_SUCCESS;
}

void WriteStoredMode(UsageMode mode) {
  if (!WriteDwordValue(HKEY_LOCAL_MACHINE, kModeKeyPath, kModeValueName, mode)) {
    win::DebugOut(L"<kqd>: faild to set KQD mode value.\r\n");
  }
}

UsageMode ReadStoredMode() {
  // A shorter value of another type fills only the first bytes; the rest stay zero.
  DWORD mode = 0;
  const win::UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kModeKeyPath, win::WithRegistryView(KEY_QUERY_VALUE));
  if (!key || !QueryDword(key.get(), kModeValueName, mode)) {
    win::DebugOut(L"<kqd>: faild to get KQD mode value, and set it to 0 for unknow.\r\n");
    return 0;
  }
  return mode;
}

void DeleteModeStore() {
  if (const win::UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kModeKeyPath, KEY_ALL_ACCESS)) {
    ::RegDeleteValueW(key.get(), kEnableLogValueName);
  }
  {
    const win::UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kModeKeyPath, KEY_ALL_ACCESS);
    if (!key || ::RegDeleteValueW(key.get(), kModeValueName) != ERROR_SUCCESS) {
      win::DebugOut(L"<kqd>:faild to delete kqd mode value.\r\n");
    }
  }
  if (::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kModeKeyPath, KEY_WOW64_64KEY, 0) != ERROR_SUCCESS) {
    win::DebugOut(L"<kqd>:faild to delete kqd key path.\r\n");
  }
}

bool IsOsBefore1903() {
  // Zero-filled and larger than the 255 bytes asked for, so the text always ends in NUL.
  wchar_t releaseId[256] = {};
  const REGSAM access = win::WithRegistryView(KEY_QUERY_VALUE);
  {
    // Its presence marks Windows 10 or later; the number itself is not used.
    DWORD major = 0;
    const win::UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kVersionKeyPath, access);
    if (!key || !QueryDword(key.get(), L"CurrentMajorVersionNumber", major)) return true;
  }
  {
    DWORD size = 255;
    const win::UniqueHkey key = OpenKey(HKEY_LOCAL_MACHINE, kVersionKeyPath, access);
    if (!key || ::RegQueryValueExW(key.get(), L"ReleaseId", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(releaseId), &size) != ERROR_SUCCESS) {
      return true;
    }
  }
  return IsReleaseBefore1903(std::u16string_view(win::AsU16(releaseId)));
}

}  // namespace kqd
