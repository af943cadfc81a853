#include "watch/mode_watch.h"

#include "mode/mode_store.h"
#include "win/registry_view.h"

namespace kqd::watch {
namespace {

constexpr wchar_t kSoftwareKey[] = L"SOFTWARE";
constexpr wchar_t kVendorKey[] = L"SOFTWARE\\Tavmir";

}  // namespace

DWORD ModeWatch::Start() {
  softwareEvent_ = win::Event::Auto();
  vendorEvent_ = win::Event::Auto();
  if (!softwareEvent_ || !vendorEvent_) return ::GetLastError();
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSoftwareKey, 0, win::WithRegistryView(KEY_NOTIFY),
                                         software_.put());
  if (opened != ERROR_SUCCESS) return static_cast<DWORD>(opened);
  if (const DWORD error = ArmSoftware()) return error;
  WatchVendorKey();
  return 0;
}

DWORD ModeWatch::Rearm(bool softwareFired, bool vendorFired) {
  if (softwareFired) {
    if (const DWORD error = ArmSoftware()) return error;
  }
  // A handle to a deleted "Tavmir" stays open but sees nothing more: let it go, and
  // take the new key when there is one. Closing a watched key signals its event once.
  if (vendor_) {
    const bool deleted = ::RegQueryInfoKeyW(vendor_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
    if (deleted || (vendorFired && ArmVendor() != ERROR_SUCCESS)) vendor_.reset();
  }
  if (!vendor_) WatchVendorKey();
  return 0;
}

DWORD ModeWatch::ArmSoftware() {
  return static_cast<DWORD>(
      ::RegNotifyChangeKeyValue(software_.get(), FALSE, REG_NOTIFY_CHANGE_NAME, softwareEvent_.get(), TRUE));
}

DWORD ModeWatch::ArmVendor() {
  return static_cast<DWORD>(::RegNotifyChangeKeyValue(
      vendor_.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, vendorEvent_.get(), TRUE));
}

void ModeWatch::WatchVendorKey() {
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, 0, win::WithRegistryView(KEY_NOTIFY | KEY_QUERY_VALUE),
                      vendor_.put()) != ERROR_SUCCESS ||
      ArmVendor() != ERROR_SUCCESS) {
    vendor_.reset();
  }
}

StoredModeState ModeWatch::Read() const {
  win::UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kModeKeyPath, 0, win::WithRegistryView(KEY_QUERY_VALUE), key.put()) !=
      ERROR_SUCCESS) {
    return {StoredModeState::Kind::NoKey};
  }
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LSTATUS read =
      ::RegQueryValueExW(key.get(), kModeValueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (read == ERROR_FILE_NOT_FOUND) return {StoredModeState::Kind::NoValue};
  if (read == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(value)) {
    return {StoredModeState::Kind::Value, value};
  }
  if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) return {StoredModeState::Kind::NoValue};
  return {StoredModeState::Kind::NotDword, 0, type, size};
}

}  // namespace kqd::watch
