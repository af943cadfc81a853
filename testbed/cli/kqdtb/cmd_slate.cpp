// slate-*: read the slate-toggle double's devices and the machine's slate state
// they toggle, arrange which of its interfaces are present, hold the indicator
// from another process, and manage the cfgmgr32 double's overrides.

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "command.h"
#include "doubles/slate/slate_client.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

int Absent(const wchar_t* command) {
  Err(L"kqdtb %ls: the slate-toggle double is not installed (kqdtb install-slate)\n", command);
  return 1;
}

// The devices named by the arguments: one "0" or "1", or both when none is given.
bool Devices(int argc, wchar_t** argv, int& first, int& last) {
  first = 0;
  last = slate::kDeviceCount - 1;
  if (argc == 1) return true;
  if (argc != 2) return false;
  for (int device = 0; device < slate::kDeviceCount; ++device) {
    if (std::wcscmp(argv[1], std::to_wstring(device).c_str()) == 0) {
      first = last = device;
      return true;
    }
  }
  return false;
}

// "device<TAB>writes<TAB>bytes<TAB>last byte (hex, or - before any byte)<TAB>held (1 while
// the indicator is open, else 0)<TAB>opens refused", one line a device.
int RunRead(int argc, wchar_t** argv) {
  int first = 0, last = 0;
  if (!Devices(argc, argv, first, last)) {
    Err(L"usage: kqdtb slate-read [0|1]\n");
    return 2;
  }
  for (int device = first; device <= last; ++device) {
    const auto counters = slate::ReadCounters(device);
    if (!counters) return Absent(argv[0]);
    wchar_t lastByte[8] = L"-";
    if (counters->lastByte) std::swprintf(lastByte, 8, L"0x%02x", *counters->lastByte);
    Out(L"%d\t%lu\t%llu\t%ls\t%d\t%lu\n", device, static_cast<unsigned long>(counters->writes),
        static_cast<unsigned long long>(counters->bytes), lastByte, counters->held ? 1 : 0,
        static_cast<unsigned long>(counters->refused));
  }
  return 0;
}

int RunReset(int argc, wchar_t** argv) {
  int first = 0, last = 0;
  if (!Devices(argc, argv, first, last)) {
    Err(L"usage: kqdtb slate-reset [0|1]\n");
    return 2;
  }
  for (int device = first; device <= last; ++device) {
    if (!slate::ResetCounters(device)) return Absent(argv[0]);
  }
  return 0;
}

// Prints the state as it shows now, or sets it (at once, dropping pending toggles).
int RunState(int argc, wchar_t** argv) {
  const auto state = argc == 2 ? slate::ParseSlateState(argv[1]) : std::nullopt;
  if (argc > 2 || (argc == 2 && !state)) {
    Err(L"usage: kqdtb slate-state [laptop|slate]\n");
    return 2;
  }
  if (state) return slate::SetState(*state) ? 0 : Absent(argv[0]);
  const auto machine = slate::ReadMachine();
  if (!machine) return Absent(argv[0]);
  Out(L"%ls\n", slate::SlateStateName(machine->state));
  return 0;
}

int RunLag(int argc, wchar_t** argv) {
  const auto ms = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (argc > 2 || (argc == 2 && (!ms || *ms > slate::kMaxLagMs))) {
    Err(L"usage: kqdtb slate-lag [MS] (0..%lu)\n", static_cast<unsigned long>(slate::kMaxLagMs));
    return 2;
  }
  if (ms) return slate::SetLag(*ms) ? 0 : Absent(argv[0]);
  const auto machine = slate::ReadMachine();
  if (!machine) return Absent(argv[0]);
  Out(L"%lu\n", static_cast<unsigned long>(machine->lagMs));
  return 0;
}

double Ms(std::uint64_t time) { return static_cast<double>(time) / 10000.0; }

// Every write and every change of the state, in time order on the performance
// counter in ms: "write<TAB>ms<TAB>device<TAB>length<TAB>last byte" and
// "state<TAB>ms<TAB>slate|laptop<TAB>toggle|set".
int RunRecord(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb slate-record\n");
    return 2;
  }
  struct Line {
    std::uint64_t time;
    std::wstring text;
  };
  std::vector<Line> lines;
  wchar_t text[96];
  for (int device = 0; device < slate::kDeviceCount; ++device) {
    const auto writes = slate::ReadWrites(device);
    if (!writes) return Absent(argv[0]);
    for (const slate::Write& write : writes->entries) {
      std::swprintf(text, 96, L"write\t%.1f\t%d\t%lu\t0x%02x", Ms(write.time), device,
                    static_cast<unsigned long>(write.length), write.lastByte);
      lines.push_back({write.time, text});
    }
    if (writes->dropped != 0) Err(L"kqdtb %ls: device %d dropped %lu writes\n", argv[0], device,
                                  static_cast<unsigned long>(writes->dropped));
  }
  const auto changes = slate::ReadChanges();
  if (!changes) return Absent(argv[0]);
  for (const slate::StateChange& change : changes->entries) {
    std::swprintf(text, 96, L"state\t%.1f\t%ls\t%ls", Ms(change.time), slate::SlateStateName(change.state),
                  change.set ? L"set" : L"toggle");
    lines.push_back({change.time, text});
  }
  if (changes->dropped != 0) Err(L"kqdtb %ls: %lu changes dropped\n", argv[0], static_cast<unsigned long>(changes->dropped));
  std::stable_sort(lines.begin(), lines.end(), [](const Line& x, const Line& y) { return x.time < y.time; });
  for (const Line& line : lines) Out(L"%ls\n", line.text.c_str());
  return 0;
}

using kqd::win::UniqueHandleNull;

// A holder left behind lets go by itself after this, so that it does not keep the
// prefix busy for good; kqdtb reset ends it before that.
constexpr DWORD kHolderLimitMs = 10 * 60 * 1000;
constexpr DWORD kHolderStartMs = 30000;
constexpr DWORD kReleaseMs = 10000;

// Another process holds the indicator: one started here and left running, so that
// the indicator stays held after this command has returned. It is detached, inherits
// no handles and is given no standard handles, so that it does not keep the caller's
// pipes open (Wine still hands it the unix stderr of this process; the CLI script
// gives slate-hold a file for that).
int RunHold(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb slate-hold\n");
    return 2;
  }
  if (!slate::IsPresent(0)) return Absent(argv[0]);
  if (slate::HolderRunning()) {
    Err(L"kqdtb %ls: the indicator is held already (kqdtb slate-release first)\n", argv[0]);
    return 1;
  }
  const std::wstring ready = L"kqdtb-slate-holder-ready-" + std::to_wstring(::GetCurrentProcessId());
  const UniqueHandleNull readyEvent{::CreateEventW(nullptr, TRUE, FALSE, ready.c_str())};
  wchar_t exe[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (!readyEvent || length == 0 || length >= MAX_PATH) {
    Err(L"kqdtb %ls: cannot prepare the holder (0x%08lx)\n", argv[0], ::GetLastError());
    return 1;
  }
  std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" slate-holder " + ready;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;  // none: otherwise Wine gives it this process's stdout
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                        &info)) {
    Err(L"kqdtb %ls: cannot start the holder (0x%08lx)\n", argv[0], ::GetLastError());
    return 1;
  }
  const UniqueHandleNull process{info.hProcess};
  const UniqueHandleNull thread{info.hThread};
  const HANDLE waits[] = {readyEvent.get(), process.get()};
  const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, kHolderStartMs);
  if (waited == WAIT_OBJECT_0) {
    Out(L"held by process %lu\n", info.dwProcessId);
    return 0;
  }
  if (waited != WAIT_OBJECT_0 + 1) {
    ::TerminateProcess(process.get(), 1);
    Err(L"kqdtb %ls: the holder did not open the indicator within %lu ms\n", argv[0],
        static_cast<unsigned long>(kHolderStartMs));
    return 1;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  if (code == ERROR_ACCESS_DENIED) {
    Err(L"kqdtb %ls: the indicator is open already, by another process (the service?)\n", argv[0]);
  } else if (code == ERROR_ALREADY_EXISTS) {
    Err(L"kqdtb %ls: another holder started first\n", argv[0]);
  } else {
    Err(L"kqdtb %ls: the holder could not open the indicator (exit code %lu)\n", argv[0],
        static_cast<unsigned long>(code));
  }
  return 1;
}

// The process slate-hold starts: opens device 0's first interface path as the
// service does, sets the starter's event READY, and keeps it open until released.
// It exits with the Win32 error of whatever stopped it from holding.
int RunHolder(int argc, wchar_t** argv) {
  if (argc != 2) {
    Err(L"usage: kqdtb slate-holder READY (started by kqdtb slate-hold)\n");
    return 2;
  }
  // Owned until this process ends and never released, so that whoever waits on it
  // learns that the holder has ended, not only that it means to.
  const UniqueHandleNull mutex{::CreateMutexW(nullptr, TRUE, slate::kHolderMutex)};
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return ERROR_ALREADY_EXISTS;
  const UniqueHandleNull release{::CreateEventW(nullptr, TRUE, FALSE, slate::kHolderReleaseEvent)};
  if (!release) return static_cast<int>(::GetLastError());
  // Left set by the release of an earlier holder if its releaser still has it open.
  ::ResetEvent(release.get());
  kqd::win::UniqueFile device{::CreateFileW(slate::InterfacePath(0).c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (!device) {
    const DWORD error = ::GetLastError();
    Err(L"kqdtb %ls: the indicator cannot be opened (%lu)\n", argv[0], error);
    return static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE);
  }
  // What Windows' CreateFile would have said; Wine's gives the handle regardless.
  if (slate::Admitted(device.get()) != true) {
    Err(L"kqdtb %ls: the indicator is open already\n", argv[0]);
    return ERROR_ACCESS_DENIED;
  }
  const UniqueHandleNull ready{::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1])};
  if (!ready || !::SetEvent(ready.get())) {
    Err(L"kqdtb %ls: no starter waits on %ls\n", argv[0], argv[1]);
    return static_cast<int>(ERROR_INVALID_HANDLE);
  }
  ::WaitForSingleObject(release.get(), kHolderLimitMs);
  device.reset();  // closed before the mutex goes, so that a releaser finds the indicator free
  return 0;
}

int RunRelease(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb slate-release\n");
    return 2;
  }
  switch (slate::ReleaseHolder(kReleaseMs)) {
    case slate::Release::Ended:
      return 0;
    case slate::Release::NoHolder:
      Err(L"kqdtb %ls: no holder holds the indicator (kqdtb slate-hold)\n", argv[0]);
      return 1;
    case slate::Release::StillRunning:
      break;
  }
  Err(L"kqdtb %ls: the holder did not end within %lu ms\n", argv[0], static_cast<unsigned long>(kReleaseMs));
  return 1;
}

// What CM_Get_Device_Interface_ListW gives this process, one path a line.
int RunList(int, wchar_t** argv) {
  if (!slate::IsCfgmgrDoubleLoaded()) {
    Err(L"kqdtb %ls: this process has Wine's own cfgmgr32, not the double (kqdtb install-slate)\n", argv[0]);
    return 1;
  }
  const auto paths = slate::ListInterfaces();
  if (!paths) {
    Err(L"kqdtb %ls: the interface list could not be read\n", argv[0]);
    return 1;
  }
  for (const std::wstring& path : *paths) Out(L"%ls\n", path.c_str());
  return 0;
}

int RunInterfaces(int argc, wchar_t** argv) {
  const auto set = argc == 2 ? slate::ParseInterfaceSet(argv[1]) : std::nullopt;
  if (!set) {
    Err(L"usage: kqdtb slate-interfaces both|first|second|reversed|none|absent\n");
    return 2;
  }
  if (!slate::SetInterfaces(*set)) {
    Err(L"kqdtb %ls: the registry entries could not be written\n", argv[0]);
    return 1;
  }
  return 0;
}

int RunOverrides(int argc, wchar_t** argv) {
  const bool on = argc >= 3 && std::wcscmp(argv[1], L"on") == 0;
  const bool off = argc == 2 && std::wcscmp(argv[1], L"off") == 0;
  if (!on && !off) {
    Err(L"usage: kqdtb slate-overrides on EXE... | off\n");
    return 2;
  }
  if (off) return slate::RemoveCfgmgrOverrides() ? 0 : 1;
  int result = 0;
  for (int i = 2; i < argc; ++i) {
    if (!slate::SetCfgmgrOverride(argv[i])) {
      Err(L"kqdtb %ls: cannot set the override for %ls\n", argv[0], argv[i]);
      result = 1;
    }
  }
  return result;
}

int RunPresent(int, wchar_t**) {
  for (int device = 0; device < slate::kDeviceCount; ++device) {
    if (!slate::IsPresent(device)) return 1;
  }
  return 0;
}

TestbedCommand read{L"slate-read",
                    L"[0|1] (print device, writes, bytes, last byte, held, opens refused of the slate-toggle double)",
                    &RunRead};
TestbedCommand reset{L"slate-reset", L"[0|1] (zero the slate-toggle double's counters, empty its records)", &RunReset};
TestbedCommand state{L"slate-state", L"[laptop|slate] (print or set the machine's slate state)", &RunState};
TestbedCommand lag{L"slate-lag", L"[MS] (print or set how long a toggle takes to show, 0..10000, 50 at load)", &RunLag};
TestbedCommand record{L"slate-record", L"(print each slate-toggle write and each change of the slate state, in time order)",
                      &RunRecord};
TestbedCommand list{L"slate-list", L"(print the present slate-toggle interfaces as the cfgmgr32 double lists them)",
                    &RunList};
TestbedCommand interfaces{L"slate-interfaces", L"both|first|second|reversed|none|absent (which interfaces are present)",
                          &RunInterfaces};
TestbedCommand overrides{L"slate-overrides", L"on EXE...|off (load the cfgmgr32 double for these executables)",
                         &RunOverrides};
TestbedCommand hold{L"slate-hold",
                    L"(another process holds device 0's indicator open as the service would; returns once it does)",
                    &RunHold};
TestbedCommand holder{L"slate-holder", L"READY (the process slate-hold starts)", &RunHolder};
TestbedCommand release{L"slate-release", L"(the holder lets go; returns once it has ended)", &RunRelease};
TestbedCommand present{L"slate-present", L"(exit code 0 when both slate-toggle devices can be opened)", &RunPresent};

}  // namespace
}  // namespace kqdtb
