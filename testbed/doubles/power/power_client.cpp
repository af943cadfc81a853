#include "doubles/power/power_client.h"

#include <cwchar>

#include "doubles/power/power_contract.h"
#include "win/unique_handle.h"

namespace kqdtb::power {
namespace {

using kqd::win::UniqueHandleNull;
using kqd::win::UniqueHkey;

UniqueHkey OpenKey(const wchar_t* path, REGSAM access) {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, key.put()) != ERROR_SUCCESS) return UniqueHkey{};
  return key;
}

template <typename T, DWORD Type>
std::optional<T> Read(HKEY key, const wchar_t* name) {
  T value{};
  DWORD size = sizeof(value), type = 0;
  if (key == nullptr ||
      ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != Type || size != sizeof(value)) {
    return std::nullopt;
  }
  return value;
}
const auto ReadDword = Read<DWORD, REG_DWORD>;
const auto ReadQword = Read<ULONGLONG, REG_QWORD>;

std::wstring ReadString(HKEY key, const wchar_t* name) {
  wchar_t text[256] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  return text;
}

bool ProcessAlive(DWORD pid) {
  const UniqueHandleNull process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  DWORD code = 0;
  return process && ::GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

RegistrationRecord ReadRegistration(HKEY registrations, const std::wstring& name) {
  RegistrationRecord r;
  r.key = name;
  r.process = static_cast<DWORD>(std::wcstoul(name.c_str(), nullptr, 10));
  UniqueHkey key;
  if (::RegOpenKeyExW(registrations, name.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return r;
  r.setting = ReadString(key.get(), KQD_POWER_SETTING_VALUE);
  r.flags = ReadDword(key.get(), KQD_POWER_FLAGS_VALUE).value_or(0);
  r.recipient = ReadQword(key.get(), KQD_POWER_RECIPIENT_VALUE).value_or(0);
  r.handle = ReadQword(key.get(), KQD_POWER_HANDLE_VALUE).value_or(0);
  r.live = ReadDword(key.get(), KQD_POWER_LIVE_VALUE).value_or(0) == 1;
  r.current = ReadDword(key.get(), KQD_POWER_CURRENT_VALUE);
  r.processAlive = r.process != 0 && ProcessAlive(r.process);
  return r;
}

}  // namespace

bool RequestResult::Delivered() const {
  return status == Status::Answered && outcome == KQD_POWER_OUTCOME_DELIVERED;
}

namespace {

bool WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

RequestResult Request(DWORD control, DWORD state, DWORD timeoutMs) {
  RequestResult result;
  const UniqueHandleNull request(::OpenEventW(EVENT_MODIFY_STATE, FALSE, KQD_POWER_REQUEST_EVENT));
  const UniqueHandleNull handled(::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, KQD_POWER_HANDLED_EVENT));
  if (!request || !handled) {
    result.status = RequestResult::Status::NoDouble;
    return result;
  }
  const UniqueHkey record = OpenKey(KQD_POWER_KEY, KEY_READ | KEY_SET_VALUE);
  if (!record) return result;
  const DWORD before = ReadDword(record.get(), KQD_POWER_HANDLED_VALUE).value_or(0);
  if (!WriteDword(record.get(), KQD_POWER_CONTROL_VALUE, control) ||
      !WriteDword(record.get(), KQD_POWER_REQUEST_VALUE, state)) {
    return result;
  }
  ::ResetEvent(handled.get());  // an answer nobody collected must not pass for this one
  ::SetEvent(request.get());
  if (::WaitForSingleObject(handled.get(), timeoutMs) != WAIT_OBJECT_0 ||
      ReadDword(record.get(), KQD_POWER_HANDLED_VALUE).value_or(0) == before) {
    result.status = RequestResult::Status::NoAnswer;
    return result;
  }
  result.status = RequestResult::Status::Answered;
  result.outcome = ReadString(record.get(), KQD_POWER_LAST_OUTCOME_VALUE);
  result.handlerResult = ReadDword(record.get(), KQD_POWER_LAST_RESULT_VALUE).value_or(0);
  return result;
}

}  // namespace

std::optional<DisplayState> ReadDisplayState() {
  const UniqueHkey key = OpenKey(KQD_POWER_STATE_KEY, KEY_READ);
  const DWORD value = key ? ReadDword(key.get(), KQD_POWER_STATE_CONSOLE_DISPLAY).value_or(1) : 1;
  if (value > static_cast<DWORD>(DisplayState::Dimmed)) return std::nullopt;
  return static_cast<DisplayState>(value);
}

const wchar_t* DisplayStateName(DisplayState state) {
  switch (state) {
    case DisplayState::Off: return L"off";
    case DisplayState::On: return L"on";
    case DisplayState::Dimmed: return L"dimmed";
  }
  return L"unknown";
}

RequestResult RequestDisplayState(DisplayState state, DWORD timeoutMs) {
  UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, KQD_POWER_STATE_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS ||
      !WriteDword(key.get(), KQD_POWER_STATE_CONSOLE_DISPLAY, static_cast<DWORD>(state))) {
    return RequestResult{};
  }
  return Request(SERVICE_CONTROL_POWEREVENT, static_cast<DWORD>(state), timeoutMs);
}

DWORD ReadCurrentValueDelayMs() {
  const UniqueHkey key = OpenKey(KQD_POWER_STATE_KEY, KEY_READ);
  return key ? ReadDword(key.get(), KQD_POWER_STATE_DELAY).value_or(0) : 0;
}

bool SetCurrentValueDelayMs(DWORD ms) {
  UniqueHkey key;
  return ms <= KQD_POWER_DELAY_MAX_MS &&
         ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, KQD_POWER_STATE_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                           nullptr) == ERROR_SUCCESS &&
         WriteDword(key.get(), KQD_POWER_STATE_DELAY, ms);
}

bool ResetMachineState() {
  const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, KQD_POWER_STATE_KEY);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

RequestResult RequestShutdown(DWORD timeoutMs) { return Request(SERVICE_CONTROL_SHUTDOWN, 0, timeoutMs); }

PowerRecord ReadRecord() {
  PowerRecord record;
  const UniqueHkey key = OpenKey(KQD_POWER_KEY, KEY_READ);
  if (!key) return record;
  record.process = ReadDword(key.get(), KQD_POWER_PROCESS_VALUE);
  record.statusHandle = ReadQword(key.get(), KQD_POWER_STATUS_HANDLE_VALUE).value_or(0);
  record.handled = ReadDword(key.get(), KQD_POWER_HANDLED_VALUE).value_or(0);
  record.delivered = ReadDword(key.get(), KQD_POWER_DELIVERED_VALUE).value_or(0);
  record.currentDelivered = ReadDword(key.get(), KQD_POWER_CURRENT_DELIVERED_VALUE).value_or(0);
  record.lastState = ReadDword(key.get(), KQD_POWER_LAST_STATE_VALUE);
  record.lastResult = ReadDword(key.get(), KQD_POWER_LAST_RESULT_VALUE).value_or(0);
  record.lastOutcome = ReadString(key.get(), KQD_POWER_LAST_OUTCOME_VALUE);
  const UniqueHkey registrations = OpenKey(KQD_POWER_REGISTRATIONS_KEY, KEY_READ);
  if (!registrations) return record;
  wchar_t name[64];
  for (DWORD index = 0;; ++index) {
    DWORD length = 64;
    if (::RegEnumKeyExW(registrations.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    record.registrations.push_back(ReadRegistration(registrations.get(), std::wstring(name, length)));
  }
  return record;
}

bool ClearRecord() {
  const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, KQD_POWER_KEY);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool IsDoubleLoaded() {
  const HMODULE module = ::GetModuleHandleW(L"powrprof.dll");
  return module != nullptr && ::GetProcAddress(module, "KqdPowrprofDouble") != nullptr;
}

}  // namespace kqdtb::power
