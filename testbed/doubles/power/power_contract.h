#pragma once
// What the powrprof double and its controllers (kqdtb.exe, tests) share: the
// machine's power settings, the registry record the double keeps and the two
// named events of a request.
//
// A request: the controller writes KQD_POWER_REQUEST_VALUE (the display state: 0 off,
// 1 on, 2 dimmed), resets KQD_POWER_HANDLED_EVENT, sets KQD_POWER_REQUEST_EVENT and waits
// for KQD_POWER_HANDLED_EVENT. The double's delivery thread has by then raised
// KQD_POWER_HANDLED_VALUE by one and written the outcome values. A request with
// KQD_POWER_CONTROL_VALUE 5 sends SERVICE_CONTROL_SHUTDOWN instead; it is answered
// before the handler runs, since the service's process ends in it.

#define KQD_POWER_KEY L"Software\\KqdTestbed\\Power"           // under HKLM
// The machine's current value of each setting, as a registration is told it. A
// setting of the machine, not of a process: it outlives services and records.
// A value that is absent reads as the default after it.
#define KQD_POWER_STATE_KEY L"Software\\KqdTestbed\\PowerState"  // under HKLM
#define KQD_POWER_STATE_ACDC L"AcDcPowerSource"             // DWORD: 0 AC (default), 1 DC, 2 short term
#define KQD_POWER_STATE_CONSOLE_DISPLAY L"ConsoleDisplayState"  // DWORD: 0 off, 1 on (default), 2 dimmed
#define KQD_POWER_STATE_SESSION_DISPLAY L"SessionDisplayStatus" // DWORD: 0 off, 1 on (default), 2 dimmed
#define KQD_POWER_STATE_LID L"LidSwitchState"               // DWORD: 0 closed, 1 open (default)
// Not a setting: how long after a service has reported itself running the double
// waits before it tells its registrations their current values (default 0, at
// most KQD_POWER_DELAY_MAX_MS). Windows gives no figure; it stands for the control
// manager's own delay.
#define KQD_POWER_STATE_DELAY L"CurrentValueDelayMs"
#define KQD_POWER_DELAY_MAX_MS 10000
#define KQD_POWER_REGISTRATIONS_KEY KQD_POWER_KEY L"\\Registrations"  // one subkey "<pid>.<n>" each

// Both exist while a process that registered a power setting runs.
#define KQD_POWER_REQUEST_EVENT L"KqdTestbedPowerEvent"
#define KQD_POWER_HANDLED_EVENT L"KqdTestbedPowerHandled"

// Values of the key.
#define KQD_POWER_REQUEST_VALUE L"Request"            // DWORD, written by the controller
#define KQD_POWER_CONTROL_VALUE L"Control"            // DWORD, written by the controller: 13
                                                      // (power event; also when absent) or 5 (shutdown)
#define KQD_POWER_PROCESS_VALUE L"Process"            // DWORD pid of the process that delivers
#define KQD_POWER_STATUS_HANDLE_VALUE L"StatusHandle" // QWORD, what RegisterServiceCtrlHandlerExW returned
#define KQD_POWER_HANDLED_VALUE L"Handled"            // DWORD, requests answered by that process
#define KQD_POWER_DELIVERED_VALUE L"Delivered"        // DWORD, of those, calls of the control handler
#define KQD_POWER_LAST_STATE_VALUE L"LastState"       // DWORD, state of the last request
#define KQD_POWER_LAST_RESULT_VALUE L"LastResult"     // DWORD, the handler's return for it
#define KQD_POWER_LAST_OUTCOME_VALUE L"LastOutcome"   // REG_SZ, one of the outcomes below
#define KQD_POWER_CURRENT_DELIVERED_VALUE L"CurrentDelivered"  // DWORD, handler calls with a
                                                              // registration's current value

#define KQD_POWER_OUTCOME_DELIVERED L"delivered"
#define KQD_POWER_OUTCOME_NO_HANDLER L"not delivered: no control handler"
#define KQD_POWER_OUTCOME_NO_REGISTRATION L"not delivered: no registration"

// Values of a registration's subkey.
#define KQD_POWER_SETTING_VALUE L"Setting"      // REG_SZ {guid}
#define KQD_POWER_FLAGS_VALUE L"Flags"          // DWORD
#define KQD_POWER_RECIPIENT_VALUE L"Recipient"  // QWORD
#define KQD_POWER_HANDLE_VALUE L"Handle"        // QWORD, the registration handle given out
#define KQD_POWER_LIVE_VALUE L"Live"            // DWORD 1 until unregistered, then 0
#define KQD_POWER_CURRENT_VALUE L"Current"      // DWORD, the current value the recipient was
                                                // given after registering; absent until then

// The settings whose current value the machine keeps, with their GUIDs (winnt.h).
struct KqdPowerSetting {
  GUID guid;
  const wchar_t* stateValue;
  DWORD defaultValue;
};
inline constexpr KqdPowerSetting kKqdPowerSettings[] = {
    {{0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}}, KQD_POWER_STATE_ACDC, 0},
    {{0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}}, KQD_POWER_STATE_CONSOLE_DISPLAY, 1},
    {{0x2B84C20E, 0xAD23, 0x4DDF, {0x93, 0xDB, 0x05, 0xFF, 0xBD, 0x7E, 0xFC, 0xA5}}, KQD_POWER_STATE_SESSION_DISPLAY, 1},
    {{0xBA3E0F4D, 0xB817, 0x4094, {0xA2, 0xD1, 0xD5, 0x63, 0x79, 0xE6, 0xA0, 0xF3}}, KQD_POWER_STATE_LID, 1},
};

// DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS of powerbase.h, which MinGW-w64 lacks: the
// recipient of a DEVICE_NOTIFY_CALLBACK registration.
using KqdDeviceNotifyCallback = ULONG(CALLBACK*)(PVOID context, ULONG type, PVOID setting);
struct KqdDeviceNotifySubscribeParameters {
  KqdDeviceNotifyCallback Callback;
  PVOID Context;
};
