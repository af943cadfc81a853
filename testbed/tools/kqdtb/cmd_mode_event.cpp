// mode-event-wait: a process outside the service that waits on "EventModeChange"
// and so competes with the service's watcher for each of its signals.
// mode-event-hold: one that only keeps it open, so that it outlives the watcher.

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

int RunModeEventHold(int argc, wchar_t** argv) {
  bool create = false;
  DWORD limitMs = kDefaultLimitMs;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--create") == 0) {
      create = true;
    } else if (const auto ms = i + 1 < argc && std::wcscmp(argv[i], L"--limit-ms") == 0 ? ParseUint32(argv[i + 1])
                                                                                       : std::nullopt) {
      limitMs = *ms;
      ++i;
    } else {
      Err(L"kqdtb mode-event-hold: bad argument %ls\n", argv[i]);
      return 2;
    }
  }
  // Created as the watcher creates it: auto-reset, not signalled.
  const kqd::win::UniqueHandleNull event(create ? ::CreateEventW(nullptr, FALSE, FALSE, kqd::kModeChangeEventName)
                                                : ::OpenEventW(SYNCHRONIZE, FALSE, kqd::kModeChangeEventName));
  if (!event) {
    Err(L"kqdtb mode-event-hold: EventModeChange cannot be %ls (0x%08lx)\n", create ? L"created" : L"opened",
        ::GetLastError());
    return 1;
  }
  Out(L"holding\n");
  ::Sleep(limitMs);
  return 0;
}

TestbedCommand modeEventWait{
    L"mode-event-wait",
    L"[--ready EVENT] [--taken EVENT] [--limit-ms N] (wait on EventModeChange, taking its signals, "
    L"for N ms, default 120000; set EVENT when waiting and after each signal taken)",
    &RunModeEventWait};
TestbedCommand modeEventHold{L"mode-event-hold",
                             L"[--create] [--limit-ms N] (keep EventModeChange open without waiting on it, for N ms, "
                             L"default 120000; --create: create it when absent, as the watcher does)",
                             &RunModeEventHold};

}  // namespace
}  // namespace kqdtb
