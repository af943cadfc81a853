// proc-stats, display-cycle and service-cycle: what the benchmark measures of a
// running process, and the loops it times, in one process rather than one Wine
// start per step.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>
#include <optional>
#include <vector>

#include "command.h"
#include "doubles/power/power_client.h"
#include "doubles/pwraux/pwraux_client.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

using kqd::win::UniqueHandleNull;

constexpr DWORD kAnswerLimitMs = 5000;
constexpr DWORD kServiceLimitMs = 30000;

std::optional<DWORD> ProcessIdOf(const wchar_t* image) {
  const kqd::win::UniqueFile snapshot(  // INVALID_HANDLE_VALUE on failure
      ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, image) == 0) return entry.th32ProcessID;
  }
  return std::nullopt;
}

DWORD ThreadsOf(DWORD pid) {
  const kqd::win::UniqueFile snapshot(  // INVALID_HANDLE_VALUE on failure
      ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
  }
  return count;
}

// The sum of the process's threads' ContextSwitches in SystemProcessInformation;
// nothing when the call fails. Offsets of the x64 records.
std::optional<unsigned long long> ContextSwitchesOf(DWORD pid) {
  using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return std::nullopt;
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  if (query(5 /* SystemProcessInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) < 0) {
    return std::nullopt;
  }
  constexpr size_t kThreadsAt = 0x100, kThreadSize = 0x50, kSwitchesAt = 0x40, kPidAt = 0x50;
  for (size_t at = 0;;) {
    const unsigned char* process = buffer.data() + at;
    ULONG next = 0, threads = 0;
    ULONG_PTR id = 0;
    std::memcpy(&next, process, sizeof next);
    std::memcpy(&threads, process + 4, sizeof threads);
    std::memcpy(&id, process + kPidAt, sizeof id);
    if (id == pid) {
      unsigned long long sum = 0;
      for (ULONG t = 0; t < threads; ++t) {
        ULONG switches = 0;
        std::memcpy(&switches, process + kThreadsAt + t * kThreadSize + kSwitchesAt, sizeof switches);
        sum += switches;
      }
      return sum;
    }
    if (next == 0) return std::nullopt;
    at += next;
  }
}

double Ms(const FILETIME& time) {
  return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e4;
}

// One JSON object; false when the process cannot be found or opened.
bool PrintStats(DWORD pid) {
  const UniqueHandleNull process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return false;
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD handles = 0;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (!::GetProcessTimes(process.get(), &created, &exited, &kernel, &user) ||
      !::GetProcessHandleCount(process.get(), &handles) ||
      !::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
    return false;
  }
  const auto switches = ContextSwitchesOf(pid);
  Out(L"{\"pid\": %lu, \"handles\": %lu, \"threads\": %lu, \"private_bytes\": %llu, \"working_set\": %llu, "
      L"\"peak_working_set\": %llu, \"cpu_user_ms\": %.1f, \"cpu_kernel_ms\": %.1f, \"context_switches\": ",
      pid, handles, ThreadsOf(pid), static_cast<unsigned long long>(memory.PrivateUsage),
      static_cast<unsigned long long>(memory.WorkingSetSize), static_cast<unsigned long long>(memory.PeakWorkingSetSize),
      Ms(user), Ms(kernel));
  if (switches) {
    Out(L"%llu}\n", *switches);
  } else {
    Out(L"null}\n");
  }
  return true;
}

int RunProcStats(int argc, wchar_t** argv) {
  if (argc != 2) {
    Err(L"usage: kqdtb proc-stats IMAGE\n");
    return 2;
  }
  const auto pid = ProcessIdOf(argv[1]);
  if (!pid || !PrintStats(*pid)) {
    Err(L"kqdtb proc-stats: no running %ls could be read\n", argv[1]);
    return 1;
  }
  return 0;
}

// A request counts once the detection it stops or starts has told the energy
// driver double so: the detach or the attach code is the last it received.
bool Handled(power::DisplayState state) {
  const std::uint32_t code = state == power::DisplayState::Off ? 11 : 10;
  if (!pwraux::Clear()) return false;
  const auto result = power::RequestDisplayState(state, kAnswerLimitMs);
  if (result.status != power::RequestResult::Status::Answered || !result.Delivered()) return false;
  const auto record = pwraux::WaitForEntries(1, kAnswerLimitMs);
  return record && !record->entries.empty() && record->entries.back().code == code;
}

int RunDisplayCycle(int argc, wchar_t** argv) {
  const auto count = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (!count || *count == 0) {
    Err(L"usage: kqdtb display-cycle N\n");
    return 2;
  }
  const ULONGLONG started = ::GetTickCount64();
  for (uint32_t i = 0; i < *count; ++i) {
    for (const auto state : {power::DisplayState::Off, power::DisplayState::On}) {
      if (!Handled(state)) {
        Err(L"kqdtb display-cycle: display %ls of cycle %lu was not handled within %lu ms\n",
            state == power::DisplayState::Off ? L"off" : L"on", static_cast<unsigned long>(i + 1), kAnswerLimitMs);
        return 1;
      }
    }
  }
  Out(L"{\"cycles\": %lu, \"ms\": %llu}\n", static_cast<unsigned long>(*count), ::GetTickCount64() - started);
  return 0;
}

bool WaitForState(SC_HANDLE service, DWORD state) {
  const ULONGLONG deadline = ::GetTickCount64() + kServiceLimitMs;
  SERVICE_STATUS status{};
  while (::QueryServiceStatus(service, &status) && status.dwCurrentState != state) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(10);
  }
  return status.dwCurrentState == state;
}

// Each cycle: start, wait until running, stop, wait until stopped.
int RunServiceCycle(int argc, wchar_t** argv) {
  const auto count = argc == 3 ? ParseUint32(argv[2]) : std::nullopt;
  if (!count || *count == 0) {
    Err(L"usage: kqdtb service-cycle SERVICE N\n");
    return 2;
  }
  const kqd::win::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const kqd::win::UniqueScHandle service(
      manager ? ::OpenServiceW(manager.get(), argv[1], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
  if (!service) {
    Err(L"kqdtb service-cycle: cannot open %ls (%lu)\n", argv[1], ::GetLastError());
    return 1;
  }
  const ULONGLONG started = ::GetTickCount64();
  unsigned long brokenPipes = 0;
  for (uint32_t i = 0; i < *count; ++i) {
    SERVICE_STATUS status{};
    if (!::StartServiceW(service.get(), 0, nullptr) || !WaitForState(service.get(), SERVICE_RUNNING)) {
      Err(L"kqdtb service-cycle: start %lu failed (%lu)\n", static_cast<unsigned long>(i + 1), ::GetLastError());
      return 1;
    }
    // The next start must not meet the process of this one still exiting.
    SERVICE_STATUS_PROCESS running{};
    DWORD size = 0;
    const UniqueHandleNull process(
        ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running),
                               sizeof running, &size)
            ? ::OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId)
            : nullptr);
    // The service reports STOPPED from inside its handler; Wine's service manager
    // may then close the control pipe before the handler's answer comes back.
    bool sent = ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) != FALSE;
    if (!sent && ::GetLastError() == ERROR_BROKEN_PIPE) {
      ++brokenPipes;
      sent = true;
    }
    if (!sent || !WaitForState(service.get(), SERVICE_STOPPED) ||
        (process && ::WaitForSingleObject(process.get(), kServiceLimitMs) != WAIT_OBJECT_0)) {
      const DWORD error = ::GetLastError();
      ::QueryServiceStatus(service.get(), &status);
      DWORD exitCode = 0;
      const bool exited = process && ::GetExitCodeProcess(process.get(), &exitCode) && exitCode != STILL_ACTIVE;
      Err(L"kqdtb service-cycle: stop %lu failed (%lu); the service is in state %lu, its process %ls (%lu)\n",
          static_cast<unsigned long>(i + 1), error, status.dwCurrentState, exited ? L"ended" : L"runs", exitCode);
      return 1;
    }
  }
  Out(L"{\"cycles\": %lu, \"ms\": %llu, \"stop_answers_lost\": %lu}\n", static_cast<unsigned long>(*count),
      ::GetTickCount64() - started, brokenPipes);
  return 0;
}

TestbedCommand procStats{L"proc-stats",
                         L"IMAGE (a running process's handles, threads, private bytes, working set, CPU times and "
                         L"context switches, as one JSON object)",
                         &RunProcStats};
TestbedCommand displayCycle{L"display-cycle",
                            L"N (N display off/on pairs through the powrprof double, each waited for until the "
                            L"energy driver double has the detach or attach code)",
                            &RunDisplayCycle};
TestbedCommand serviceCycle{L"service-cycle",
                            L"SERVICE N (N start/stop cycles, each waited for: running, stopped, its process ended)",
                            &RunServiceCycle};

}  // namespace
}  // namespace kqdtb
