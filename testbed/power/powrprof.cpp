// powrprof.dll double: the power manager and the service control manager's
// power-event path for one process. Wine 8's powrprof accepts every power-setting
// registration and forgets it, and Wine's service manager never sends
// SERVICE_CONTROL_POWEREVENT; this DLL keeps the registrations and, on request
// from another process (kqdtb display-off|display-on|display-dim), calls the
// service's control handler the way Windows would for GUID_CONSOLE_DISPLAY_STATE.
// It also sends SERVICE_CONTROL_SHUTDOWN on request (kqdtb service-shutdown),
// which Wine's service manager never sends to a running service.
//
// How it reaches the handler: at load it rewrites the main executable's import of
// RegisterServiceCtrlHandlerExW to a wrapper that remembers the handler, its
// context and the status handle returned. The handler is called only while a
// registration for the console display state with DEVICE_NOTIFY_SERVICE_HANDLE
// and that status handle is live.
//
// One difference from Windows: Windows calls the handler on the service's control
// dispatcher thread (the thread in StartServiceCtrlDispatcherW); this double
// calls it from its own delivery thread. A handler that relies on being serialised
// with the other controls could tell.
//
// The delivery thread is started at the first registration, never from DllMain.
// It is left to process exit, which ends it; the module pins itself once the
// import is rewritten, so neither the thread nor the rewritten slot can outlive it.

#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "power/iat_patch.h"
#include "power/power_contract.h"

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

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Registration>* g_registrations = nullptr;  // under g_lock; leaked on purpose at exit
ULONG_PTR g_nextHandle = 0;
RegisterHandlerFn g_realRegisterHandler = nullptr;
LPHANDLER_FUNCTION_EX g_handler = nullptr;
LPVOID g_handlerContext = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_deliveryThread = nullptr;

struct Exclusive {
  Exclusive() { ::AcquireSRWLockExclusive(&g_lock); }
  ~Exclusive() { ::ReleaseSRWLockExclusive(&g_lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
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

SERVICE_STATUS_HANDLE WINAPI RegisterHandlerHook(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  const SERVICE_STATUS_HANDLE status = g_realRegisterHandler(name, handler, context);
  if (status != nullptr) {
    Exclusive lock;
    g_handler = handler;
    g_handlerContext = context;
    g_statusHandle = status;
  }
  return status;
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
};

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
    handler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, context);
    return;
  } else {
    // POWERBROADCAST_SETTING with a DWORD of data, as Windows sends this setting.
    alignas(POWERBROADCAST_SETTING) BYTE buffer[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
    auto* setting = reinterpret_cast<POWERBROADCAST_SETTING*>(buffer);
    setting->PowerSetting = kConsoleDisplayState;
    setting->DataLength = sizeof(DWORD);
    std::memcpy(setting->Data, &state, sizeof(state));
    const DWORD result = handler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, setting, context);
    RecordOutcome(record, state, result, outcome, true);
  }
  ::SetEvent(handled);
}

DWORD WINAPI DeliveryThread(LPVOID parameter) {
  const DeliveryEvents events = *static_cast<DeliveryEvents*>(parameter);
  delete static_cast<DeliveryEvents*>(parameter);
  while (::WaitForSingleObject(events.request, INFINITE) == WAIT_OBJECT_0) {
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
  if (request == nullptr || handled == nullptr) {
    if (request != nullptr) ::CloseHandle(request);
    if (handled != nullptr) ::CloseHandle(handled);
    return;
  }
  HKEY record = CreateKey(KQD_POWER_KEY);
  if (record != nullptr) {
    SetDword(record, KQD_POWER_PROCESS_VALUE, ::GetCurrentProcessId());
    SetQword(record, KQD_POWER_STATUS_HANDLE_VALUE, reinterpret_cast<ULONG_PTR>(g_statusHandle));
    SetDword(record, KQD_POWER_HANDLED_VALUE, 0);
    SetDword(record, KQD_POWER_DELIVERED_VALUE, 0);
    ::RegDeleteValueW(record, KQD_POWER_LAST_OUTCOME_VALUE);
    ::RegCloseKey(record);
  }
  auto* events = new DeliveryEvents{request, handled};
  // Pinned, so that no FreeLibrary can unmap the code this thread runs.
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&DeliveryThread), &self);
  g_deliveryThread = ::CreateThread(nullptr, 0, &DeliveryThread, events, 0, nullptr);
  if (g_deliveryThread == nullptr) {
    delete events;
    ::CloseHandle(request);
    ::CloseHandle(handled);
  }
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
    if (g_registrations == nullptr) return ERROR_OUTOFMEMORY;
    r.handle = ++g_nextHandle;
    g_registrations->push_back(r);
    StartDelivery();
  }
  RecordRegistration(r);
  *registrationHandle = reinterpret_cast<PVOID>(r.handle);
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
    void* real = nullptr;
    if (kqdtb::power::PatchImport(::GetModuleHandleW(nullptr), "RegisterServiceCtrlHandlerExW",
                                  reinterpret_cast<void*>(&RegisterHandlerHook), &real)) {
      g_realRegisterHandler = reinterpret_cast<RegisterHandlerFn>(real);
      HMODULE self = nullptr;
      ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(instance), &self);
    }
  }
  return TRUE;
}
