// display-*, service-shutdown and power-*: turn the machine's console display
// off, on or dimmed, and tell the process that registered power settings through
// the powrprof double (the service); or shut it down as Windows would at system
// shutdown; read what the double recorded, and manage its overrides.

#include <cwchar>
#include <string>

#include "command.h"
#include "common/dll_override.h"
#include "doubles/power/power_client.h"
#include "doubles/power/power_contract.h"

namespace kqdtb {
namespace {

constexpr DWORD kAnswerLimitMs = 5000;

int Report(const wchar_t* command, const power::RequestResult& result) {
  switch (result.status) {
    case power::RequestResult::Status::Answered:
      if (!result.Delivered()) {
        Err(L"kqdtb %ls: %ls\n", command, result.outcome.c_str());
        return 1;
      }
      Out(L"delivered\t%lu\n", static_cast<unsigned long>(result.handlerResult));
      return 0;
    case power::RequestResult::Status::NoDouble:
      Err(L"kqdtb %ls: no running process has the powrprof double with a registration "
          L"(kqdtb install-power, then start the service)\n", command);
      return 1;
    case power::RequestResult::Status::NoAnswer:
      Err(L"kqdtb %ls: the double did not answer within %lu ms\n", command, kAnswerLimitMs);
      return 1;
    case power::RequestResult::Status::Failed: break;
  }
  Err(L"kqdtb %ls: the request could not be written\n", command);
  return 1;
}

int RunDisplay(const wchar_t* command, power::DisplayState state) {
  const power::RequestResult result = power::RequestDisplayState(state, kAnswerLimitMs);
  if (result.status == power::RequestResult::Status::NoDouble) {
    // The machine keeps it: the next process to register is told it.
    Out(L"display %ls\tno process registered\n", power::DisplayStateName(state));
    return 0;
  }
  return Report(command, result);
}

int RunState(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb display-state\n");
    return 2;
  }
  const auto state = power::ReadDisplayState();
  if (!state) {
    Err(L"kqdtb %ls: the machine's display state is not one of off, on, dimmed\n", argv[0]);
    return 1;
  }
  Out(L"%ls\n", power::DisplayStateName(*state));
  return 0;
}

int RunOff(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb display-off\n");
    return 2;
  }
  return RunDisplay(argv[0], power::DisplayState::Off);
}
int RunOn(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb display-on\n");
    return 2;
  }
  return RunDisplay(argv[0], power::DisplayState::On);
}
int RunDim(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb display-dim\n");
    return 2;
  }
  return RunDisplay(argv[0], power::DisplayState::Dimmed);
}

// A whole number of milliseconds, nothing else.
bool ParseMs(const wchar_t* text, DWORD& ms) {
  if (text == nullptr || *text == L'\0' || std::wcslen(text) > 6) return false;
  DWORD value = 0;
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    if (*c < L'0' || *c > L'9') return false;
    value = value * 10 + static_cast<DWORD>(*c - L'0');
  }
  ms = value;
  return true;
}

int RunDelay(int argc, wchar_t** argv) {
  DWORD ms = 0;
  if (argc == 1) {
    Out(L"%lu\n", static_cast<unsigned long>(power::ReadCurrentValueDelayMs()));
    return 0;
  }
  if (argc != 2 || !ParseMs(argv[1], ms) || ms > KQD_POWER_DELAY_MAX_MS) {
    Err(L"usage: kqdtb power-delay [MS]   (0 to %d)\n", KQD_POWER_DELAY_MAX_MS);
    return 2;
  }
  if (power::SetCurrentValueDelayMs(ms)) return 0;
  Err(L"kqdtb %ls: the delay could not be written\n", argv[0]);
  return 1;
}

int RunShutdown(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb service-shutdown\n");
    return 2;
  }
  return Report(argv[0], power::RequestShutdown(kAnswerLimitMs));
}

// Tab-separated lines: "process", "status-handle", "handled", "delivered", "last"
// (state, handler result, outcome), "current-delivered", then one "registration"
// line each: key, setting, flags, recipient, handle, live|unregistered|orphaned,
// the current value it was told after registering (or -).
// "orphaned": still registered, but its process has ended.
int RunRead(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb power-read\n");
    return 2;
  }
  const power::PowerRecord record = power::ReadRecord();
  if (record.process) Out(L"process\t%lu\n", static_cast<unsigned long>(*record.process));
  Out(L"status-handle\t0x%llx\n", record.statusHandle);
  Out(L"handled\t%lu\n", static_cast<unsigned long>(record.handled));
  Out(L"delivered\t%lu\n", static_cast<unsigned long>(record.delivered));
  if (record.lastState) {
    Out(L"last\t%lu\t%lu\t%ls\n", static_cast<unsigned long>(*record.lastState),
        static_cast<unsigned long>(record.lastResult), record.lastOutcome.c_str());
  }
  Out(L"current-delivered\t%lu\n", static_cast<unsigned long>(record.currentDelivered));
  for (const power::RegistrationRecord& r : record.registrations) {
    const wchar_t* state = !r.live ? L"unregistered" : r.processAlive ? L"live" : L"orphaned";
    const std::wstring current = r.current ? std::to_wstring(*r.current) : L"-";
    Out(L"registration\t%ls\t%ls\t%lu\t0x%llx\t0x%llx\t%ls\t%ls\n", r.key.c_str(), r.setting.c_str(),
        static_cast<unsigned long>(r.flags), r.recipient, r.handle, state, current.c_str());
  }
  return 0;
}

int RunClear(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb power-clear\n");
    return 2;
  }
  if (power::ClearRecord()) return 0;
  Err(L"kqdtb %ls: the record could not be deleted\n", argv[0]);
  return 1;
}

int RunOverrides(int argc, wchar_t** argv) {
  const bool on = argc >= 3 && std::wcscmp(argv[1], L"on") == 0;
  const bool off = argc == 2 && std::wcscmp(argv[1], L"off") == 0;
  if (!on && !off) {
    Err(L"usage: kqdtb power-overrides on EXE... | off\n");
    return 2;
  }
  if (off) return RemoveNativeOverrides(L"powrprof") ? 0 : 1;
  int result = 0;
  for (int i = 2; i < argc; ++i) {
    if (!SetNativeOverride(argv[i], L"powrprof")) {
      Err(L"kqdtb %ls: cannot set the override for %ls\n", argv[0], argv[i]);
      result = 1;
    }
  }
  return result;
}

TestbedCommand off{L"display-off",
                   L"(the machine's console display goes off: state 0 to the service's control handler, or to the "
                   L"next registration)",
                   &RunOff};
TestbedCommand on{L"display-on", L"(console display state 1)", &RunOn};
TestbedCommand dim{L"display-dim", L"(console display state 2, dimmed)", &RunDim};
TestbedCommand state{L"display-state", L"(print the machine's console display state: off, on or dimmed)", &RunState};
TestbedCommand delay{L"power-delay",
                     L"[MS] (print or set how long after the service reports running it is told the current power "
                     L"settings; default 0)",
                     &RunDelay};
TestbedCommand shutdown{L"service-shutdown",
                        L"(SERVICE_CONTROL_SHUTDOWN to the handler the powrprof double knows)", &RunShutdown};
TestbedCommand read{L"power-read", L"(print the powrprof double's registrations and deliveries)", &RunRead};
TestbedCommand clear{L"power-clear", L"(forget the powrprof double's record)", &RunClear};
TestbedCommand overrides{L"power-overrides", L"on EXE...|off (load the powrprof double for these executables)",
                         &RunOverrides};

}  // namespace
}  // namespace kqdtb
