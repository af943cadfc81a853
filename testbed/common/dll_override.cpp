#include "common/dll_override.h"

#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace kqdtb {
namespace {

using kqd::win::UniqueHkey;

constexpr wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults";
// Rather than "native": should the file in system32 be Wine's placeholder again,
// the process still starts.
constexpr wchar_t kOverrideOrder[] = L"native,builtin";

}  // namespace

void DeleteKeyIfEmpty(HKEY root, const wchar_t* path) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return;
  DWORD subkeys = 0, values = 0;
  if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0) {
    return;
  }
  key.reset();
  ::RegDeleteKeyExW(root, path, KEY_WOW64_64KEY, 0);
}

bool SetNativeOverride(std::wstring_view exeName, const wchar_t* dll) {
  if (exeName.empty() || exeName.find_first_of(L"\\/") != std::wstring_view::npos) return false;
  const std::wstring path = std::wstring(kAppDefaults) + L"\\" + std::wstring(exeName) + L"\\DllOverrides";
  UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return ::RegSetValueExW(key.get(), dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(kOverrideOrder),
                          sizeof(kOverrideOrder)) == ERROR_SUCCESS;
}

bool RemoveNativeOverrides(const wchar_t* dll) {
  UniqueHkey appDefaults;
  const LSTATUS status = ::RegOpenKeyExW(HKEY_CURRENT_USER, kAppDefaults, 0, KEY_READ, appDefaults.put());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return false;
  std::vector<std::wstring> apps;
  wchar_t name[MAX_PATH];
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = MAX_PATH;
    const LSTATUS found = ::RegEnumKeyExW(appDefaults.get(), index, name, &nameLength, nullptr, nullptr, nullptr,
                                          nullptr);
    if (found == ERROR_NO_MORE_ITEMS) break;
    if (found != ERROR_SUCCESS) return false;
    apps.emplace_back(name, nameLength);
  }
  appDefaults.reset();
  bool ok = true;
  for (const std::wstring& app : apps) {
    const std::wstring appKey = std::wstring(kAppDefaults) + L"\\" + app;
    const std::wstring overrides = appKey + L"\\DllOverrides";
    const LSTATUS deleted = ::RegDeleteKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), dll);
    ok = (deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) && ok;
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, overrides.c_str());
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, appKey.c_str());
  }
  return ok;
}

}  // namespace kqdtb
