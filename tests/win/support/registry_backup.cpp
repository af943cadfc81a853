#include "support/registry_backup.h"

#include <aclapi.h>

#include "win/unique_handle.h"

namespace kqdtest {
namespace {

using kqd::win::UniqueHkey;

UniqueHkey Open(HKEY root, const std::wstring& subkey, REGSAM access) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, subkey.c_str(), 0, access | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    key.reset();
  }
  return key;
}

UniqueHkey Create(HKEY root, const std::wstring& subkey) {
  UniqueHkey key;
  if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    key.reset();
  }
  return key;
}

}  // namespace

SetValueDenied::SetValueDenied(HKEY root, const std::wstring& subkey) {
  key_ = Open(root, subkey, READ_CONTROL | WRITE_DAC);
  if (!key_) return;
  DWORD size = 0;
  ::RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
  saved_.resize(size);
  BOOL present = FALSE, defaulted = FALSE;
  PACL own = nullptr;
  if (size == 0 || ::RegGetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data(), &size) != ERROR_SUCCESS ||
      !::GetSecurityDescriptorDacl(saved_.data(), &present, &own, &defaulted)) {
    return;
  }
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(everyone);
  if (!::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize)) return;
  // Without a DACL everyone had every right: say so explicitly beside the deny entry.
  EXPLICIT_ACCESS_W entries[2] = {};
  for (auto& entry : entries) {
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
  }
  entries[0].grfAccessPermissions = KEY_SET_VALUE;
  entries[0].grfAccessMode = DENY_ACCESS;
  entries[1].grfAccessPermissions = KEY_ALL_ACCESS;
  entries[1].grfAccessMode = GRANT_ACCESS;
  const bool hasDacl = present && own != nullptr;
  PACL denied = nullptr;
  if (::SetEntriesInAclW(hasDacl ? 1 : 2, entries, hasDacl ? own : nullptr, &denied) != ERROR_SUCCESS) return;
  const kqd::win::UniqueLocal acl(denied);
  SECURITY_DESCRIPTOR descriptor;
  active_ = ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            ::SetSecurityDescriptorDacl(&descriptor, TRUE, denied, FALSE) &&
            ::RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
}

SetValueDenied::~SetValueDenied() {
  if (active_) ::RegSetKeySecurity(key_.get(), DACL_SECURITY_INFORMATION, saved_.data());
}

RegistryBackup::RegistryBackup(HKEY root, std::wstring subkey, std::vector<std::wstring> valueNames)
    : root_(root), subkey_(std::move(subkey)) {
  const UniqueHkey key = Open(root_, subkey_, KEY_QUERY_VALUE);
  keyExisted_ = key.valid();
  for (auto& name : valueNames) {
    SavedValue saved{std::move(name), std::nullopt};
    DWORD type = 0, size = 0;
    if (key && ::RegQueryValueExW(key.get(), saved.name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      std::vector<BYTE> bytes(size);
      if (::RegQueryValueExW(key.get(), saved.name.c_str(), nullptr, &type, bytes.data(), &size) == ERROR_SUCCESS) {
        bytes.resize(size);
        saved.data = std::make_pair(type, std::move(bytes));
      }
    }
    saved_.push_back(std::move(saved));
  }
}

RegistryBackup::~RegistryBackup() {
  if (!keyExisted_) {
    DeleteKeyTree(root_, subkey_);
    return;
  }
  const UniqueHkey key = Create(root_, subkey_);
  if (!key) return;
  for (const auto& saved : saved_) {
    if (saved.data) {
      ::RegSetValueExW(key.get(), saved.name.c_str(), 0, saved.data->first, saved.data->second.data(),
                       static_cast<DWORD>(saved.data->second.size()));
    } else {
      ::RegDeleteValueW(key.get(), saved.name.c_str());
    }
  }
}

void DeleteKeyTree(HKEY root, const std::wstring& subkey) {
  if (const UniqueHkey key = Open(root, subkey, KEY_ALL_ACCESS)) {
    ::RegDeleteTreeW(key.get(), nullptr);
  }
  ::RegDeleteKeyExW(root, subkey.c_str(), KEY_WOW64_64KEY, 0);
}

void DeleteValue(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  if (const UniqueHkey key = Open(root, subkey, KEY_SET_VALUE)) ::RegDeleteValueW(key.get(), name.c_str());
}

void SetValue(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data,
              DWORD size) {
  if (const UniqueHkey key = Create(root, subkey)) {
    ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
  }
}

void SetString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text) {
  SetValue(root, subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD value) {
  SetValue(root, subkey, name, REG_DWORD, &value, sizeof(value));
}

std::optional<DWORD> GetDword(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  const UniqueHkey key = Open(root, subkey, KEY_QUERY_VALUE);
  DWORD value = 0, size = sizeof(value), type = 0;
  if (!key || ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                 &size) != ERROR_SUCCESS || type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

bool KeyExists(HKEY root, const std::wstring& subkey) { return Open(root, subkey, KEY_QUERY_VALUE).valid(); }

bool ValueExists(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  const UniqueHkey key = Open(root, subkey, KEY_QUERY_VALUE);
  return key && ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace kqdtest
