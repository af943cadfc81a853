#pragma once
// What the powrprof double and its controllers (kqdtb.exe, tests) share: the
// registry record the double keeps and the two named events of a request.
//
// A request: the controller writes KQD_POWER_REQUEST_VALUE (the display state: 0 off,
// 1 on, 2 dimmed), resets KQD_POWER_HANDLED_EVENT, sets KQD_POWER_REQUEST_EVENT and waits
// for KQD_POWER_HANDLED_EVENT. The double's delivery thread has by then raised
// KQD_POWER_HANDLED_VALUE by one and written the outcome values. A request with
// KQD_POWER_CONTROL_VALUE 5 sends SERVICE_CONTROL_SHUTDOWN instead; it is answered
// before the handler runs, since the service's process ends in it.

#define KQD_POWER_KEY L"Software\\KqdTestbed\\Power"           // under HKLM
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

#define KQD_POWER_OUTCOME_DELIVERED L"delivered"
#define KQD_POWER_OUTCOME_NO_HANDLER L"not delivered: no control handler"
#define KQD_POWER_OUTCOME_NO_REGISTRATION L"not delivered: no registration"

// Values of a registration's subkey.
#define KQD_POWER_SETTING_VALUE L"Setting"      // REG_SZ {guid}
#define KQD_POWER_FLAGS_VALUE L"Flags"          // DWORD
#define KQD_POWER_RECIPIENT_VALUE L"Recipient"  // QWORD
#define KQD_POWER_HANDLE_VALUE L"Handle"        // QWORD, the registration handle given out
#define KQD_POWER_LIVE_VALUE L"Live"            // DWORD 1 until unregistered, then 0
