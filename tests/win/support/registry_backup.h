#pragma once
// Saves named values of a real HKLM key and puts them back (or removes them) at
// scope exit, so tests may change the prefix's registry freely.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace kqdtest {

class RegistryBackup {
 public:
  // keyExisted records whether the key was there; when it was not, the key is
  // deleted again at scope exit.
  RegistryBackup(HKEY root, std::wstring subkey, std::vector<std::wstring> valueNames);
  ~RegistryBackup();
  RegistryBackup(const RegistryBackup&) = delete;
  RegistryBackup& operator=(const RegistryBackup&) = delete;

 private:
  struct SavedValue {
    std::wstring name;
    std::optional<std::pair<DWORD, std::vector<BYTE>>> data;  // empty: value was absent
  };
  HKEY root_;
  std::wstring subkey_;
  bool keyExisted_ = false;
  std::vector<SavedValue> saved_;
};

// While it lives, an existing key refuses KEY_SET_VALUE to everyone (a deny entry
// ahead of its own DACL); then its own DACL is put back. The owner keeps WRITE_DAC,
// so the restore needs no right the deny entry takes.
class SetValueDenied {
 public:
  SetValueDenied(HKEY root, const std::wstring& subkey);
  ~SetValueDenied();
  SetValueDenied(const SetValueDenied&) = delete;
  SetValueDenied& operator=(const SetValueDenied&) = delete;
  bool active() const { return active_; }

 private:
  kqd::win::UniqueHkey key_;
  std::vector<BYTE> saved_;  // the key's own descriptor, self-relative
  bool active_ = false;
};

// Small direct helpers for arranging registry state in tests (64-bit view).
void DeleteKeyTree(HKEY root, const std::wstring& subkey);
void DeleteValue(HKEY root, const std::wstring& subkey, const std::wstring& name);
void SetValue(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD type,
              const void* data, DWORD size);
void SetString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text);
void SetDword(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD value);
std::optional<DWORD> GetDword(HKEY root, const std::wstring& subkey, const std::wstring& name);
bool KeyExists(HKEY root, const std::wstring& subkey);
bool ValueExists(HKEY root, const std::wstring& subkey, const std::wstring& name);

}  // namespace kqdtest
