// dbwin: prints every debugger-output line of the prefix, "pid<TAB>text", until
// "dbwin-stop" is run (or the process is killed). The reader is kqdwatch's own.

#include <string>

#include "command.h"
#include "win/dbwin_reader.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

constexpr wchar_t kStopEvent[] = L"kqdtb-dbwin-stop";

int RunDbwin(int, wchar_t**) {
  const kqd::win::UniqueHandleNull stop(::CreateEventW(nullptr, TRUE, FALSE, kStopEvent));
  if (!stop) {
    Err(L"kqdtb dbwin: cannot create %ls (0x%08lx)\n", kStopEvent, ::GetLastError());
    return 1;
  }
  kqd::win::DbwinReader reader;
  switch (reader.Open()) {
    case kqd::win::DbwinReader::OpenResult::Ok: break;
    case kqd::win::DbwinReader::OpenResult::Busy:
      Err(L"kqdtb dbwin: another debugger-output monitor is running\n");
      return 1;
    case kqd::win::DbwinReader::OpenResult::Failed:
      Err(L"kqdtb dbwin: cannot create DBWIN_BUFFER (0x%08lx)\n", ::GetLastError());
      return 1;
  }
  Out(L"ready\n");
  const bool stopped = reader.ReadUntil(stop.get(), [](const kqd::win::DebugLine& line) {
    std::string text = line.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Out(L"%lu\t%hs\n", line.pid, text.c_str());
  });
  return stopped ? 0 : 1;
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
