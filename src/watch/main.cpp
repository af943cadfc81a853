// kqdwatch.exe: one time-stamped line for every change of the stored usage mode,
// every state of the service "KQD", every "<kqd>:" debugger line and every change of
// the slate state as this session sees it, until Ctrl+C. It only waits: nothing it
// does runs unless one of those changes.

#include <windows.h>

#include <optional>
#include <string>

#include "core/watch_events.h"
#include "mode/mode_store.h"
#include "watch/mode_watch.h"
#include "watch/service_watch.h"
#include "watch/slate_watch.h"
#include "win/dbwin_reader.h"
#include "win/output.h"
#include "win/event.h"
#include "win/wide.h"

namespace {

using namespace kqd;

constexpr wchar_t kUsage[] =
    L"usage: kqdwatch\n"
    L"  prints the stored mode (HKLM\\%ls, \"%ls\"), the state of the service KQD, its\n"
    L"  \"<kqd>:\" debugger output and the slate state as this session sees it\n"
    L"  (GetSystemMetrics(SM_CONVERTIBLESLATEMODE), 0 slate) as they change, one line each,\n"
    L"  until Ctrl+C\n";

win::Event g_stop;

// Runs on a thread of its own; the loop does the rest.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: g_stop.Set(); return TRUE;
    default: return FALSE;
  }
}

void Print(const char* source, const std::string& text) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const LocalClockTime time{now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  win::ConsoleOut(L"%hs\n", FormatEventLine(time, source, text).c_str());
}

template <typename State, typename Describe>
void PrintChanges(const char* source, std::optional<State>& last, const State& now, Describe describe) {
  for (const std::string& text : describe(last, now)) Print(source, text);
  last = now;
}

int Fail(const wchar_t* what, DWORD error) {
  win::ConsoleErr(L"kqdwatch: %ls (error %lu, 0x%08lx)\n", what, error, error);
  return 1;
}

int Watch() {
  g_stop = win::Event::Manual();
  if (!g_stop) return Fail(L"cannot create an event", ::GetLastError());
  if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) return Fail(L"cannot handle Ctrl+C", ::GetLastError());

  win::DbwinReader debug;
  switch (debug.Open()) {
    case win::DbwinReader::OpenResult::Ok: break;
    case win::DbwinReader::OpenResult::Busy:
      win::ConsoleErr(
          L"kqdwatch: another debugger-output reader holds DBWIN_BUFFER (a debugger, DebugView, "
          L"kqdtb dbwin or a second kqdwatch); end it and start kqdwatch again\n");
      return 1;
    case win::DbwinReader::OpenResult::Failed:
      return Fail(L"cannot create the debugger-output buffer DBWIN_BUFFER", ::GetLastError());
  }
  watch::ModeWatch mode;
  if (const DWORD error = mode.Start()) return Fail(L"cannot watch HKLM\\SOFTWARE in the registry", error);
  watch::ServiceWatch service;
  if (const DWORD error = service.Start()) return Fail(L"cannot watch the service control manager", error);
  // Before the first reading, so that no announcement after it is missed.
  watch::SlateWatch slate;
  if (const DWORD error = slate.Start()) {
    return Fail(L"cannot make a window for the slate state's announcements", error);
  }

  SYSTEMTIME today;
  ::GetLocalTime(&today);
  win::ConsoleOut(L"kqdwatch: %04u-%02u-%02u, times local (system clock); \"%ls\" in HKLM\\%ls, the service KQD, "
                  L"\"<kqd>:\" debugger output, the slate state in this session; Ctrl+C ends\n",
                  today.wYear, today.wMonth, today.wDay, kModeValueName, kModeKeyPath);
  std::optional<StoredModeState> lastMode;
  std::optional<ServiceObservation> lastService;
  PrintChanges("mode", lastMode, mode.Read(), DescribeModeChange);
  PrintChanges("service", lastService, service.Current(), DescribeServiceChange);
  std::optional<int32_t> lastSlate;
  Print("slate", DescribeSlateInterfaces(watch::SlateWatch::ListToggleDevices()));
  PrintChanges("slate", lastSlate, watch::SlateWatch::Read(), DescribeSlateChange);

  const HANDLE handles[] = {g_stop.get(),
                            debug.DataReady(),
                            mode.SoftwareEvent(),
                            mode.VendorEvent(),
                            service.ServicesKeyEvent(),
                            slate.ChangedEvent(),
                            slate.Thread()};
  for (;;) {
    // Alertable: the service manager's notifications arrive as calls on this thread.
    const DWORD woke = ::WaitForMultipleObjectsEx(ARRAYSIZE(handles), handles, FALSE, INFINITE, TRUE);
    DWORD error = 0;
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_IO_COMPLETION) {
      error = service.OnNotified();
    } else if (woke == WAIT_OBJECT_0 + 1) {
      const win::DebugLine line = debug.Take();
      if (const auto text = KqdDebugText(line.text)) Print("debug", "pid " + std::to_string(line.pid) + ": " + *text);
    } else if (woke == WAIT_OBJECT_0 + 2 || woke == WAIT_OBJECT_0 + 3) {
      error = mode.Rearm(woke == WAIT_OBJECT_0 + 2, woke == WAIT_OBJECT_0 + 3);
      if (error == 0) PrintChanges("mode", lastMode, mode.Read(), DescribeModeChange);
    } else if (woke == WAIT_OBJECT_0 + 4) {
      error = service.OnServicesKeyChanged();
    } else if (woke == WAIT_OBJECT_0 + 5) {
      PrintChanges("slate", lastSlate, watch::SlateWatch::Read(), DescribeSlateChange);
    } else if (woke == WAIT_OBJECT_0 + 6) {
      DWORD code = 0;
      ::GetExitCodeThread(slate.Thread(), &code);
      return Fail(L"lost its window for the slate state's announcements", code);
    } else {
      return Fail(L"a wait failed", ::GetLastError());
    }
    if (error != 0) return Fail(L"lost its watch", error);
    PrintChanges("service", lastService, service.Current(), DescribeServiceChange);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  switch (ParseWatchCommandLine(argc, win::AsU16(argv))) {
    case WatchCommand::Watch: return Watch();
    case WatchCommand::Help: win::ConsoleOut(kUsage, kModeKeyPath, kModeValueName); return 0;
    case WatchCommand::Bad: win::ConsoleErr(kUsage, kModeKeyPath, kModeValueName); return 2;
  }
  return 2;
}
