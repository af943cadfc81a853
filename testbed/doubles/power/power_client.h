#pragma once
// Steers and reads the powrprof double from another process: sets the machine's
// console display state and asks the process that registered power settings to
// deliver it (or a shutdown) to its service control handler, and reads the
// registrations and deliveries it recorded.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace kqdtb::power {

enum class DisplayState : DWORD { Off = 0, On = 1, Dimmed = 2 };

struct RequestResult {
  enum class Status {
    Answered,  // the double handled it; `outcome` says whether the handler was called
    NoDouble,  // no running process has the double with a registration
    NoAnswer,  // the request was signalled but not acknowledged in time
    Failed,    // the record could not be written or read
  } status = Status::Failed;
  std::wstring outcome;  // the double's LastOutcome
  DWORD handlerResult = 0;
  bool Delivered() const;
};

// The machine's console display state, which every registration is told first.
std::optional<DisplayState> ReadDisplayState();
const wchar_t* DisplayStateName(DisplayState state);  // "off", "on", "dimmed"
// Sets it, then asks the registered process to deliver it; NoDouble when no
// process has registered (the state is set all the same).
RequestResult RequestDisplayState(DisplayState state, DWORD timeoutMs);
// Every setting of the machine back to its default (display on, AC, lid open),
// and the delay below to 0.
bool ResetMachineState();
// How long after a service reports itself running it is told its current values.
DWORD ReadCurrentValueDelayMs();
bool SetCurrentValueDelayMs(DWORD ms);  // false above KQD_POWER_DELAY_MAX_MS
// SERVICE_CONTROL_SHUTDOWN to the same handler; answered before the handler runs.
RequestResult RequestShutdown(DWORD timeoutMs);

struct RegistrationRecord {
  std::wstring key;      // "<pid>.<n>"
  DWORD process = 0;
  std::wstring setting;  // {guid}
  DWORD flags = 0;
  ULONGLONG recipient = 0;
  ULONGLONG handle = 0;
  bool live = false;          // registered and not unregistered
  bool processAlive = false;  // its process still runs
  std::optional<DWORD> current;  // the value it was told after registering
};

struct PowerRecord {
  std::optional<DWORD> process;  // the process answering requests
  ULONGLONG statusHandle = 0;
  DWORD handled = 0;
  DWORD delivered = 0;
  DWORD currentDelivered = 0;  // handler calls with a registration's current value
  std::optional<DWORD> lastState;
  DWORD lastResult = 0;
  std::wstring lastOutcome;
  std::vector<RegistrationRecord> registrations;  // in key order
};

PowerRecord ReadRecord();
bool ClearRecord();

// True when this process's powrprof.dll is the double.
bool IsDoubleLoaded();

}  // namespace kqdtb::power
