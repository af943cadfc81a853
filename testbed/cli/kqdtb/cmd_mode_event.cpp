// mode-event-wait: a process outside the service that waits on "EventModeChange"
// and so competes with the service's watcher for each of its signals.
// mode-event-hold: one that only keeps it open, so that it outlives the watcher;
// event-hold: the same for any named event.

#include <cwchar>

#include "command.h"
#include "mode/mode_event.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

constexpr DWORD kDefaultLimitMs = 120000;

// Sets a caller's named event; absent names are ignored.
void SetNamedEvent(const wchar_t* name) {
  if (name == nullptr) return;
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (event == nullptr) return;
  ::SetEvent(event);
  ::CloseHandle(event);
}

int RunModeEventWait(int argc, wchar_t** argv) {
  const wchar_t* ready = nullptr;
  const wchar_t* taken = nullptr;
  DWORD limitMs = kDefaultLimitMs;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::wcscmp(argv[i], L"--ready") == 0 && hasValue) {
      ready = argv[++i];
    } else if (std::wcscmp(argv[i], L"--taken") == 0 && hasValue) {
      taken = argv[++i];
    } else if (const auto ms = hasValue && std::wcscmp(argv[i], L"--limit-ms") == 0 ? ParseUint32(argv[i + 1])
                                                                                    : std::nullopt) {
      limitMs = *ms;
      ++i;
    } else {
      Err(L"kqdtb mode-event-wait: bad argument %ls\n", argv[i]);
      return 2;
    }
  }
  HANDLE event = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kqd::kModeChangeEventName);
  if (event == nullptr) {
    Err(L"kqdtb mode-event-wait: EventModeChange does not exist (0x%08lx)\n", ::GetLastError());
    return 1;
  }
  Out(L"waiting\n");
  SetNamedEvent(ready);
  // Bounded, so that a waiter whose starter died does not stay behind in the prefix.
  const ULONGLONG deadline = ::GetTickCount64() + limitMs;
  unsigned long count = 0;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) break;
    if (::WaitForSingleObject(event, static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) break;
    Out(L"took %lu\n", ++count);
    SetNamedEvent(taken);
  }
  ::CloseHandle(event);
  return 0;
}

// Keeps a named event open. The service's own names are global: another process
// may make one first, of another kind (--manual) or already set (--signalled).
int HoldEvent(const wchar_t* command, const wchar_t* name, int argc, wchar_t** argv) {
  bool create = false;
  bool manual = false;
  bool signalled = false;
  DWORD limitMs = kDefaultLimitMs;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--create") == 0) {
      create = true;
    } else if (std::wcscmp(argv[i], L"--manual") == 0) {
      manual = true;
    } else if (std::wcscmp(argv[i], L"--signalled") == 0) {
      signalled = true;
    } else if (std::wcscmp(argv[i], L"--name") == 0 && i + 1 < argc && name == nullptr) {
      name = argv[++i];
    } else if (const auto ms = i + 1 < argc && std::wcscmp(argv[i], L"--limit-ms") == 0 ? ParseUint32(argv[i + 1])
                                                                                       : std::nullopt) {
      limitMs = *ms;
      ++i;
    } else {
      Err(L"kqdtb %ls: bad argument %ls\n", command, argv[i]);
      return 2;
    }
  }
  if (name == nullptr) {
    Err(L"kqdtb %ls: --name NAME is missing\n", command);
    return 2;
  }
  if ((manual || signalled) && !create) {
    Err(L"kqdtb %ls: --manual and --signalled need --create\n", command);
    return 2;
  }
  // Without --manual, created as the watcher creates it: auto-reset, not signalled.
  const kqd::win::UniqueHandleNull event(create ? ::CreateEventW(nullptr, manual, signalled, name)
                                                : ::OpenEventW(SYNCHRONIZE, FALSE, name));
  if (!event || (create && ::GetLastError() == ERROR_ALREADY_EXISTS && (manual || signalled))) {
    Err(L"kqdtb %ls: %ls cannot be %ls (0x%08lx)\n", command, name, create ? L"created" : L"opened",
        event ? static_cast<unsigned long>(ERROR_ALREADY_EXISTS) : ::GetLastError());
    return 1;
  }
  Out(L"holding\n");
  ::Sleep(limitMs);
  return 0;
}

int RunModeEventHold(int argc, wchar_t** argv) { return HoldEvent(L"mode-event-hold", kqd::kModeChangeEventName, argc, argv); }
int RunEventHold(int argc, wchar_t** argv) { return HoldEvent(L"event-hold", nullptr, argc, argv); }

TestbedCommand modeEventWait{
    L"mode-event-wait",
    L"[--ready EVENT] [--taken EVENT] [--limit-ms N] (wait on EventModeChange, taking its signals, "
    L"for N ms, default 120000; set EVENT when waiting and after each signal taken)",
    &RunModeEventWait};
TestbedCommand modeEventHold{L"mode-event-hold",
                             L"[--create [--manual] [--signalled]] [--limit-ms N] (keep EventModeChange open without "
                             L"waiting on it, for N ms, default 120000; --create: create it when absent, as the "
                             L"watcher does, or manual-reset, or signalled)",
                             &RunModeEventHold};
TestbedCommand eventHold{L"event-hold", L"--name NAME [--create [--manual] [--signalled]] [--limit-ms N] (the same for any named event)",
                         &RunEventHold};

}  // namespace
}  // namespace kqdtb
