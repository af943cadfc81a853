// kqdtb_slowstop.exe: a service that is slow to stop, to stand in for "KQD" where
// a test needs its stop to take seconds or to fail.
//   kqdtb_slowstop.exe MS [RECORD]  on a stop control: STOP_PENDING for MS milliseconds, then
//                                   STOPPED; RECORD (a file) receives "stop_pending_ms N", the
//                                   time from the STOP_PENDING report to the STOPPED one
//   kqdtb_slowstop.exe refuse       the first stop control: STOP_PENDING for 1.5 s, then RUNNING
//                                   again; a later one stops at once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

#include "win/unique_handle.h"

namespace {

constexpr DWORD kRefusePendingMs = 1500;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopRequest = nullptr;
DWORD g_stopMs = 0;
bool g_refuseFirst = false;
const wchar_t* g_record = nullptr;

void WriteRecord(std::chrono::steady_clock::duration pending) {
  if (g_record == nullptr) return;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(pending).count();
  const std::string line = "stop_pending_ms " + std::to_string(ms) + "\n";
  kqd::win::UniqueFile file(
      ::CreateFileW(g_record, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Report(DWORD state, DWORD waitHint = 0) {
  static DWORD checkPoint = 0;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint = state == SERVICE_STOP_PENDING ? ++checkPoint : 0;
  ::SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    ::SetEvent(g_stopRequest);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExW(L"", Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  Report(SERVICE_RUNNING);
  for (bool refuse = g_refuseFirst;; refuse = false) {
    ::WaitForSingleObject(g_stopRequest, INFINITE);
    if (refuse) {
      Report(SERVICE_STOP_PENDING, kRefusePendingMs * 2);
      ::Sleep(kRefusePendingMs);
      Report(SERVICE_RUNNING);
      continue;
    }
    Report(SERVICE_STOP_PENDING, g_stopMs + 1000);
    const auto entered = std::chrono::steady_clock::now();
    ::Sleep(g_stopMs);
    // Written before the last report: once STOPPED is seen, the record is there.
    WriteRecord(std::chrono::steady_clock::now() - entered);
    Report(SERVICE_STOPPED);
    return;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) return 2;
  g_refuseFirst = std::wcscmp(argv[1], L"refuse") == 0;
  if (argc == 3) g_record = argv[2];
  g_stopMs = g_refuseFirst ? 0 : static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
  kqd::win::UniqueHandleNull stopRequest(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  g_stopRequest = stopRequest.get();
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), ServiceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
