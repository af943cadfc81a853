// The control channel's registry side: what any process of the prefix writes
// and reads under HKLM\Software\KqdTestbed\Sensors.


#include <string>
#include <thread>

#include "doubles/sensors/sensors_double.h"
#include "win/unique_handle.h"

namespace kqdtb::sensors {
namespace {

using kqd::win::UniqueHkey;
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::wstring SensorKey(size_t index) { return std::wstring(kConfigKey) + L"\\Sensor" + std::to_wstring(index); }

UniqueHkey Open(const std::wstring& path, bool create) {
  UniqueHkey key;
  const LONG status = create ? ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                 KEY_READ | KEY_WRITE | kView, nullptr, key.put(), nullptr)
                             : ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kView, key.put());
  if (status != ERROR_SUCCESS) key.reset();
  return key;
}

bool PutDword(HKEY key, const std::wstring& name, DWORD value) {
  return ::RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

std::optional<DWORD> GetDword(HKEY key, const std::wstring& name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::wstring> GetString(HKEY key, const wchar_t* name) {
  DWORD size = 0;
  DWORD type = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
    return std::nullopt;
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(::wcsnlen(text.c_str(), text.size()));
  return text;
}

std::wstring ValueName(size_t row) { return L"Val" + std::to_wstring(row + 1); }

}  // namespace

bool WriteConfig(size_t index, const SensorConfig& config) {
  if (index >= kMaxSensors) return false;
  const UniqueHkey key = Open(SensorKey(index), true);
  if (!key) return false;
  bool ok = PutDword(key.get(), L"Present", 1) && PutDword(key.get(), L"State", config.state) &&
            PutDword(key.get(), L"Custom", config.custom ? 1 : 0);
  if (config.model) {
    const auto bytes = static_cast<DWORD>((config.model->size() + 1) * sizeof(wchar_t));
    ok = ok && ::RegSetValueExW(key.get(), L"Model", 0, REG_SZ, reinterpret_cast<const BYTE*>(config.model->c_str()),
                                bytes) == ERROR_SUCCESS;
  } else {
    ::RegDeleteValueW(key.get(), L"Model");
  }
  for (size_t row = 0; row < kValueCount; ++row) ok = ok && WriteValue(index, row, config.values[row]);
  return ok;
}

bool WriteUnplugged(size_t index) {
  if (index >= kMaxSensors) return false;
  const UniqueHkey key = Open(SensorKey(index), true);
  return key && PutDword(key.get(), L"Present", 0);
}

bool WriteValue(size_t index, size_t row, SensorValue value) {
  if (index >= kMaxSensors || row >= kValueCount) return false;
  const UniqueHkey key = Open(SensorKey(index), true);
  return key && PutDword(key.get(), ValueName(row), value.bits) &&
         PutDword(key.get(), ValueName(row) + L"Type", value.type);
}

bool WriteAngles(size_t index, float a, float b) {
  if (index >= kMaxSensors) return false;
  const UniqueHkey key = Open(SensorKey(index), true);
  if (!key) return false;
  bool ok = true;
  for (const auto& [row, angle] : {std::pair<size_t, float>{5, a}, std::pair<size_t, float>{4, b}}) {
    const SensorValue value = SensorValue::R4(angle);
    ok = ok && PutDword(key.get(), ValueName(row), value.bits) && PutDword(key.get(), ValueName(row) + L"Type", value.type);
  }
  return ok;
}

std::optional<SensorConfig> ReadConfig(size_t index) {
  if (index >= kMaxSensors) return std::nullopt;
  const UniqueHkey key = Open(SensorKey(index), false);
  if (!key || GetDword(key.get(), L"Present").value_or(0) == 0) return std::nullopt;
  SensorConfig config;
  config.model = GetString(key.get(), L"Model");
  config.state = static_cast<SensorState>(GetDword(key.get(), L"State").value_or(SENSOR_STATE_READY));
  config.custom = GetDword(key.get(), L"Custom").value_or(1) != 0;
  for (size_t row = 0; row < kValueCount; ++row) {
    config.values[row].bits = GetDword(key.get(), ValueName(row)).value_or(0);
    config.values[row].type = static_cast<VARTYPE>(GetDword(key.get(), ValueName(row) + L"Type").value_or(VT_R4));
  }
  return config;
}

DWORD ReadStatus(const wchar_t* name) {
  const UniqueHkey key = Open(kConfigKey, false);
  return key ? GetDword(key.get(), name).value_or(0) : 0;
}

bool WriteStatus(const wchar_t* name, DWORD value) {
  const UniqueHkey key = Open(kConfigKey, true);
  return key && PutDword(key.get(), name, value);
}

bool Signal(const wchar_t* eventName, std::chrono::milliseconds limit, const std::function<void()>& justBefore) {
  const kqd::win::UniqueHandleNull event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName));
  if (!event) return false;  // no double is loaded anywhere
  const DWORD request = ReadStatus(kRequestValue) + 1;
  if (!WriteStatus(kRequestValue, request)) return false;
  const kqd::win::UniqueHandleNull handled(::OpenEventW(SYNCHRONIZE, FALSE, kHandledEventName));
  if (justBefore) justBefore();
  if (!::SetEvent(event.get())) return false;
  // "Handled" decides; the event only says when to look (it may also be left
  // over from an earlier writer), and without it the registry is polled.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReadStatus(kHandledValue) != request) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    if (handled) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      ::WaitForSingleObject(handled.get(), static_cast<DWORD>(left < 100 ? left + 1 : 100));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

bool ClearConfig() {
  const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kConfigKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace kqdtb::sensors
