// powrprof.dll double: the power manager and the service control manager's
// power-event path for one process. Wine 8's powrprof accepts every power-setting
// registration and forgets it, and Wine's service manager never sends
// SERVICE_CONTROL_POWEREVENT; this DLL keeps the registrations and calls the
// service's control handler the way Windows would:
// - after each registration, with the setting's current value. The
//   PowerSettingRegisterNotification page: "Immediately after registration, the
//   callback will be invoked with the current value of the power setting." The
//   values are the machine's (KQD_POWER_STATE_KEY), so a display turned off before
//   the service starts is off when it registers;
// - on request from another process (kqdtb display-off|display-on|display-dim),
//   with the new console display state (GUID_CONSOLE_DISPLAY_STATE: 0 off, 1 on,
//   2 dimmed, a DWORD in a POWERBROADCAST_SETTING, event type PBT_POWERSETTINGCHANGE);
// - with SERVICE_CONTROL_SHUTDOWN on request (kqdtb service-shutdown), which
//   Wine's service manager never sends to a running service.
//
// How it reaches the handler: at load it rewrites the main executable's import of
// RegisterServiceCtrlHandlerExW to a wrapper that remembers the handler, its
// context and the status handle returned, and registers in the handler's place a
// gate that runs one control at a time, Wine's and this double's alike, as the
// one control dispatcher of Windows does. A service-handle registration is served
// only when its recipient is that status handle. It also rewrites SetServiceStatus:
// a service's current values wait until it has reported itself past
// SERVICE_START_PENDING (the control manager hands a starting service no control
// but stop; ControlService answers ERROR_SERVICE_CANNOT_ACCEPT_CTRL), and are
// dropped once it reports SERVICE_STOPPED. A DEVICE_NOTIFY_CALLBACK registration
// (DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS) gets its current value at once.
//
// What stays different from Windows: the calls come from this double's delivery
// thread, not from the thread in StartServiceCtrlDispatcherW; they are serialised
// with the other controls, but a handler that looked at its thread could tell.
//
// The delivery thread is started at the first registration, never from DllMain.
// It is left to process exit, which ends it; the module pins itself once an import
// is rewritten, so neither the thread nor a rewritten slot can outlive it.

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "common/iat_patch.h"
#include "doubles/power/power_contract.h"

extern "C" {
DWORD WINAPI PowerSettingRegisterNotification(LPCGUID settingGuid, DWORD flags, HANDLE recipient,
                                              PVOID* registrationHandle);
DWORD WINAPI PowerSettingUnregisterNotification(PVOID registrationHandle);
}

namespace {

constexpr GUID kConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr DWORD kNotifyServiceHandle = 1;  // DEVICE_NOTIFY_SERVICE_HANDLE
constexpr DWORD kNotifyCallback = 2;       // DEVICE_NOTIFY_CALLBACK

struct Registration {
  GUID setting;
  DWORD flags;
  HANDLE recipient;
  ULONG_PTR handle;
};

using RegisterHandlerFn = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID);
using SetStatusFn = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Registration>* g_registrations = nullptr;  // under g_lock; leaked on purpose at exit
std::vector<Registration>* g_awaitingCurrent = nullptr;  // under g_lock: registered, not yet told
ULONG_PTR g_nextHandle = 0;
RegisterHandlerFn g_realRegisterHandler = nullptr;
SetStatusFn g_realSetStatus = nullptr;
LPHANDLER_FUNCTION_EX g_handler = nullptr;
LPVOID g_handlerContext = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_deliveryThread = nullptr;
HANDLE g_currentEvent = nullptr;  // wakes the delivery thread for current values
// The state the service last reported; 0 before its first report.
std::atomic<DWORD> g_serviceState{0};
std::atomic<ULONGLONG> g_runningSince{0};  // tick of its first report past its start
// One control at a time, whoever sends it. Never taken with g_lock held.
SRWLOCK g_controlLock = SRWLOCK_INIT;

class Exclusive {
 public:
  explicit Exclusive(SRWLOCK* lock = &g_lock) : lock_(lock) { ::AcquireSRWLockExclusive(lock_); }
  ~Exclusive() { ::ReleaseSRWLockExclusive(lock_); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  SRWLOCK* lock_;
};

HKEY CreateKey(const wchar_t* path) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
  ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void SetQword(HKEY key, const wchar_t* name, ULONGLONG value) {
  ::RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
  ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

DWORD GetDword(HKEY key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0, size = sizeof(value), type = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return fallback;
  }
  return value;
}

// "<pid>.<n>": handles repeat across processes, the record keeps them apart.
void RegistrationKeyPath(ULONG_PTR handle, wchar_t* path, size_t size) {
  std::swprintf(path, size, L"%ls\\%lu.%llu", KQD_POWER_REGISTRATIONS_KEY, ::GetCurrentProcessId(),
                static_cast<unsigned long long>(handle));
}

void RecordRegistration(const Registration& r) {
  wchar_t path[160];
  RegistrationKeyPath(r.handle, path, 160);
  HKEY key = CreateKey(path);
  if (key == nullptr) return;
  wchar_t guid[40];
  ::StringFromGUID2(r.setting, guid, 40);
  SetString(key, KQD_POWER_SETTING_VALUE, guid);
  SetDword(key, KQD_POWER_FLAGS_VALUE, r.flags);
  SetQword(key, KQD_POWER_RECIPIENT_VALUE, reinterpret_cast<ULONG_PTR>(r.recipient));
  SetQword(key, KQD_POWER_HANDLE_VALUE, r.handle);
  SetDword(key, KQD_POWER_LIVE_VALUE, 1);
  ::RegCloseKey(key);
}

void RecordUnregistration(ULONG_PTR handle) {
  wchar_t path[160];
  RegistrationKeyPath(handle, path, 160);
  HKEY key = CreateKey(path);
  if (key == nullptr) return;
  SetDword(key, KQD_POWER_LIVE_VALUE, 0);
  ::RegCloseKey(key);
}

// Every control the service gets, from Wine's dispatcher or from this double.
DWORD CallHandler(LPHANDLER_FUNCTION_EX handler, DWORD control, DWORD type, LPVOID data, LPVOID context) {
  Exclusive serial(&g_controlLock);
  return handler(control, type, data, context);
}

DWORD WINAPI SerialHandler(DWORD control, DWORD type, LPVOID data, LPVOID context) {
  LPHANDLER_FUNCTION_EX handler = nullptr;
  {
    Exclusive lock;
    handler = g_handler;
  }
  return handler == nullptr ? ERROR_CALL_NOT_IMPLEMENTED : CallHandler(handler, control, type, data, context);
}

SERVICE_STATUS_HANDLE WINAPI RegisterHandlerHook(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  {
    // Before the real call: a control may come as soon as it returns.
    Exclusive lock;
    g_handler = handler;
    g_handlerContext = context;
  }
  const SERVICE_STATUS_HANDLE status = g_realRegisterHandler(name, handler == nullptr ? nullptr : &SerialHandler,
                                                             context);
  Exclusive lock;
  if (status != nullptr) {
    g_statusHandle = status;
  } else if (g_statusHandle == nullptr) {
    g_handler = nullptr;
    g_handlerContext = nullptr;
  }
  return status;
}

BOOL WINAPI SetStatusHook(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  const BOOL result = g_realSetStatus(handle, status);
  if (status != nullptr && handle != nullptr && handle == g_statusHandle) {
    g_serviceState = status->dwCurrentState;
    if (status->dwCurrentState != SERVICE_START_PENDING) {
      ULONGLONG never = 0;
      g_runningSince.compare_exchange_strong(never, ::GetTickCount64());
      if (g_currentEvent != nullptr) ::SetEvent(g_currentEvent);
    }
  }
  return result;
}

// The handler to call for the control, or null with the reason. The console
// display state goes only where it was registered for; a shutdown goes to every
// service handler (the double does not look at the controls the service accepts).
LPHANDLER_FUNCTION_EX FindRecipient(DWORD control, LPVOID& context, const wchar_t*& reason) {
  Exclusive lock;
  if (g_handler == nullptr) {
    reason = KQD_POWER_OUTCOME_NO_HANDLER;
    return nullptr;
  }
  context = g_handlerContext;
  if (control == SERVICE_CONTROL_SHUTDOWN) return g_handler;
  for (const Registration& r : *g_registrations) {
    if (IsEqualGUID(r.setting, kConsoleDisplayState) && r.flags == kNotifyServiceHandle &&
        r.recipient == static_cast<HANDLE>(g_statusHandle)) {
      return g_handler;
    }
  }
  reason = KQD_POWER_OUTCOME_NO_REGISTRATION;
  return nullptr;
}

void RecordOutcome(HKEY record, DWORD state, DWORD result, const wchar_t* outcome, bool delivered) {
  if (delivered) SetDword(record, KQD_POWER_DELIVERED_VALUE, GetDword(record, KQD_POWER_DELIVERED_VALUE, 0) + 1);
  SetDword(record, KQD_POWER_LAST_STATE_VALUE, state);
  SetDword(record, KQD_POWER_LAST_RESULT_VALUE, result);
  SetString(record, KQD_POWER_LAST_OUTCOME_VALUE, outcome);
  SetDword(record, KQD_POWER_HANDLED_VALUE, GetDword(record, KQD_POWER_HANDLED_VALUE, 0) + 1);
}

struct DeliveryEvents {
  HANDLE request;
  HANDLE handled;
  HANDLE current;
};

DWORD CurrentValue(const GUID& setting, bool& known) {
  for (const KqdPowerSetting& s : kKqdPowerSettings) {
    if (!IsEqualGUID(s.guid, setting)) continue;
    known = true;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KQD_POWER_STATE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return s.defaultValue;
    }
    const DWORD value = GetDword(key, s.stateValue, s.defaultValue);
    ::RegCloseKey(key);
    return value;
  }
  known = false;
  return 0;
}

// POWERBROADCAST_SETTING with a DWORD of data, as Windows sends these settings.
struct SettingMessage {
  alignas(POWERBROADCAST_SETTING) BYTE buffer[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
  SettingMessage(const GUID& guid, DWORD value) {
    auto* setting = Get();
    setting->PowerSetting = guid;
    setting->DataLength = sizeof(DWORD);
    std::memcpy(setting->Data, &value, sizeof(value));
  }
  POWERBROADCAST_SETTING* Get() { return reinterpret_cast<POWERBROADCAST_SETTING*>(buffer); }
};

bool IsLive(ULONG_PTR handle) {
  Exclusive lock;
  for (const Registration& r : *g_registrations) {
    if (r.handle == handle) return true;
  }
  return false;
}

// Tells one registration its setting's current value, if its recipient can be
// reached; false when it has to wait for the service to leave its start.
bool TellCurrent(const Registration& r) {
  bool known = false;
  const DWORD value = CurrentValue(r.setting, known);
  if (!known || !IsLive(r.handle)) return true;  // no value to tell, or nobody left to tell it to
  SettingMessage message(r.setting, value);
  if (r.flags == kNotifyCallback) {
    const auto* subscriber = static_cast<const KqdDeviceNotifySubscribeParameters*>(r.recipient);
    if (subscriber->Callback != nullptr) subscriber->Callback(subscriber->Context, PBT_POWERSETTINGCHANGE, message.Get());
  } else {
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    {
      Exclusive lock;
      if (g_handler == nullptr || r.recipient != static_cast<HANDLE>(g_statusHandle)) return true;
      const DWORD state = g_serviceState;
      if (state == 0 || state == SERVICE_START_PENDING) return false;
      if (state == SERVICE_STOPPED) return true;
      handler = g_handler;
      context = g_handlerContext;
    }
    CallHandler(handler, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, message.Get(), context);
  }
  wchar_t path[160];
  RegistrationKeyPath(r.handle, path, 160);
  if (HKEY key = CreateKey(path)) {
    SetDword(key, KQD_POWER_CURRENT_VALUE, value);
    ::RegCloseKey(key);
  }
  if (HKEY record = CreateKey(KQD_POWER_KEY)) {
    SetDword(record, KQD_POWER_CURRENT_DELIVERED_VALUE, GetDword(record, KQD_POWER_CURRENT_DELIVERED_VALUE, 0) + 1);
    ::RegCloseKey(record);
  }
  return true;
}

// The configured delay, counted from the service's first report past its start.
void AwaitDelay() {
  const ULONGLONG since = g_runningSince;
  if (since == 0) return;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KQD_POWER_STATE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  const DWORD delay = GetDword(key, KQD_POWER_STATE_DELAY, 0);
  ::RegCloseKey(key);
  const ULONGLONG due = since + (delay < KQD_POWER_DELAY_MAX_MS ? delay : KQD_POWER_DELAY_MAX_MS);
  const ULONGLONG now = ::GetTickCount64();
  if (now < due) ::Sleep(static_cast<DWORD>(due - now));
}

// In registration order; those that must wait stay, in order.
void TellCurrentValues() {
  AwaitDelay();
  std::vector<Registration> waiting;
  {
    Exclusive lock;
    waiting.swap(*g_awaitingCurrent);
  }
  size_t told = 0;
  while (told < waiting.size() && TellCurrent(waiting[told])) ++told;
  if (told == waiting.size()) return;
  Exclusive lock;
  g_awaitingCurrent->insert(g_awaitingCurrent->begin(), waiting.begin() + static_cast<std::ptrdiff_t>(told),
                            waiting.end());
}

void Deliver(HKEY record, HANDLE handled) {
  const DWORD control = GetDword(record, KQD_POWER_CONTROL_VALUE, SERVICE_CONTROL_POWEREVENT);
  const DWORD state = GetDword(record, KQD_POWER_REQUEST_VALUE, 0);
  LPVOID context = nullptr;
  const wchar_t* outcome = KQD_POWER_OUTCOME_DELIVERED;
  const LPHANDLER_FUNCTION_EX handler = FindRecipient(control, context, outcome);
  if (handler == nullptr) {
    RecordOutcome(record, state, 0, outcome, false);
  } else if (control == SERVICE_CONTROL_SHUTDOWN) {
    // The service reports STOPPED from inside the handler and its process ends,
    // this thread with it: the answer goes first.
    RecordOutcome(record, state, 0, outcome, true);
    ::SetEvent(handled);
    CallHandler(handler, SERVICE_CONTROL_SHUTDOWN, 0, nullptr, context);
    return;
  } else {
    SettingMessage message(kConsoleDisplayState, state);
    const DWORD result = CallHandler(handler, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, message.Get(), context);
    RecordOutcome(record, state, result, outcome, true);
  }
  ::SetEvent(handled);
}

DWORD WINAPI DeliveryThread(LPVOID parameter) {
  const DeliveryEvents events = *static_cast<DeliveryEvents*>(parameter);
  delete static_cast<DeliveryEvents*>(parameter);
  const HANDLE waits[] = {events.current, events.request};
  for (;;) {
    const DWORD woken = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      TellCurrentValues();
      continue;
    }
    if (woken != WAIT_OBJECT_0 + 1) break;
    HKEY record = CreateKey(KQD_POWER_KEY);
    if (record == nullptr) {
      ::SetEvent(events.handled);  // the controller finds the count unchanged
      continue;
    }
    Deliver(record, events.handled);
    ::RegCloseKey(record);
  }
  return 0;
}

// This process becomes the one that answers requests; its counters start at zero.
void StartDelivery() {
  if (g_deliveryThread != nullptr) return;
  HANDLE request = ::CreateEventW(nullptr, FALSE, FALSE, KQD_POWER_REQUEST_EVENT);
  HANDLE handled = ::CreateEventW(nullptr, FALSE, FALSE, KQD_POWER_HANDLED_EVENT);
  HANDLE current = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (request == nullptr || handled == nullptr || current == nullptr) {
    for (HANDLE h : {request, handled, current}) {
      if (h != nullptr) ::CloseHandle(h);
    }
    return;
  }
  HKEY record = CreateKey(KQD_POWER_KEY);
  if (record != nullptr) {
    SetDword(record, KQD_POWER_PROCESS_VALUE, ::GetCurrentProcessId());
    SetQword(record, KQD_POWER_STATUS_HANDLE_VALUE, reinterpret_cast<ULONG_PTR>(g_statusHandle));
    SetDword(record, KQD_POWER_HANDLED_VALUE, 0);
    SetDword(record, KQD_POWER_DELIVERED_VALUE, 0);
    SetDword(record, KQD_POWER_CURRENT_DELIVERED_VALUE, 0);
    ::RegDeleteValueW(record, KQD_POWER_LAST_OUTCOME_VALUE);
    ::RegCloseKey(record);
  }
  auto* events = new DeliveryEvents{request, handled, current};
  // Pinned, so that no FreeLibrary can unmap the code this thread runs.
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&DeliveryThread), &self);
  g_deliveryThread = ::CreateThread(nullptr, 0, &DeliveryThread, events, 0, nullptr);
  if (g_deliveryThread == nullptr) {
    delete events;
    for (HANDLE h : {request, handled, current}) ::CloseHandle(h);
    return;
  }
  g_currentEvent = current;
}

}  // namespace

extern "C" DWORD WINAPI PowerSettingRegisterNotification(LPCGUID settingGuid, DWORD flags, HANDLE recipient,
                                                         PVOID* registrationHandle) {
  if (settingGuid == nullptr || registrationHandle == nullptr || recipient == nullptr ||
      (flags != kNotifyServiceHandle && flags != kNotifyCallback)) {
    return ERROR_INVALID_PARAMETER;
  }
  Registration r{*settingGuid, flags, recipient, 0};
  {
    Exclusive lock;
    if (g_registrations == nullptr) g_registrations = new (std::nothrow) std::vector<Registration>;
    if (g_awaitingCurrent == nullptr) g_awaitingCurrent = new (std::nothrow) std::vector<Registration>;
    if (g_registrations == nullptr || g_awaitingCurrent == nullptr) return ERROR_OUTOFMEMORY;
    r.handle = ++g_nextHandle;
    g_registrations->push_back(r);
    g_awaitingCurrent->push_back(r);
    StartDelivery();
  }
  RecordRegistration(r);
  *registrationHandle = reinterpret_cast<PVOID>(r.handle);
  // The value goes after the call has returned, from the delivery thread.
  if (g_currentEvent != nullptr) ::SetEvent(g_currentEvent);
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI PowerSettingUnregisterNotification(PVOID registrationHandle) {
  const auto handle = reinterpret_cast<ULONG_PTR>(registrationHandle);
  {
    Exclusive lock;
    if (g_registrations == nullptr) return ERROR_INVALID_PARAMETER;
    auto it = g_registrations->begin();
    while (it != g_registrations->end() && it->handle != handle) ++it;
    if (it == g_registrations->end()) return ERROR_INVALID_PARAMETER;
    g_registrations->erase(it);
  }
  RecordUnregistration(handle);
  return ERROR_SUCCESS;
}

// Lets a process tell the double from Wine's builtin.
extern "C" BOOL WINAPI KqdPowrprofDouble() { return TRUE; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    // The executable's imports are bound before any DllMain runs, so the slot
    // already holds the real function.
    const HMODULE executable = ::GetModuleHandleW(nullptr);
    void* real = nullptr;
    bool patched = false;
    if (kqdtb::PatchImport(executable, "RegisterServiceCtrlHandlerExW", reinterpret_cast<void*>(&RegisterHandlerHook),
                           &real)) {
      g_realRegisterHandler = reinterpret_cast<RegisterHandlerFn>(real);
      patched = true;
    }
    // Without it a service's current values are told at once.
    if (kqdtb::PatchImport(executable, "SetServiceStatus", reinterpret_cast<void*>(&SetStatusHook), &real)) {
      g_realSetStatus = reinterpret_cast<SetStatusFn>(real);
      patched = true;
    } else {
      g_serviceState = SERVICE_RUNNING;
    }
    if (patched) {
      HMODULE self = nullptr;
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(instance), &self);
    }
  }
  return TRUE;
}
