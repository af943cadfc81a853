// dbwin: prints every debugger-output line of the prefix, "pid<TAB>text", until
// "dbwin-stop" is run (or the process is killed).

#include "command.h"
#include "common/dbwin_monitor.h"

namespace kqdtb {
namespace {

constexpr wchar_t kStopEvent[] = L"kqdtb-dbwin-stop";

int RunDbwin(int, wchar_t**) {
  HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, kStopEvent);
  DbwinMonitor monitor([](DWORD pid, const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Out(L"%lu\t%hs\n", pid, line.c_str());
  });
  if (stop == nullptr || !monitor.Start()) {
    Err(L"kqdtb dbwin: another debugger-output monitor is running\n");
    return 1;
  }
  Out(L"ready\n");
  ::WaitForSingleObject(stop, INFINITE);
  monitor.Stop();
  ::CloseHandle(stop);
  return 0;
}

int RunDbwinStop(int, wchar_t**) {
  HANDLE stop = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent);
  if (stop == nullptr) return 1;
  ::SetEvent(stop);
  ::CloseHandle(stop);
  return 0;
}

TestbedCommand dbwin{L"dbwin", L"(print debugger output until dbwin-stop)", &RunDbwin};
TestbedCommand dbwinStop{L"dbwin-stop", L"(end a running dbwin)", &RunDbwinStop};

}  // namespace
}  // namespace kqdtb
