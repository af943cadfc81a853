// slate-*: read the slate-toggle double's devices, arrange which of its
// interfaces are present, and manage the cfgmgr32 double's overrides.

#include <cwchar>
#include <string>

#include "command.h"
#include "common/slate_client.h"

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

// "device<TAB>writes<TAB>bytes<TAB>last byte (hex, or - before any byte)", one line a device.
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
    Out(L"%d\t%lu\t%llu\t%ls\n", device, static_cast<unsigned long>(counters->writes),
        static_cast<unsigned long long>(counters->bytes), lastByte);
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

TestbedCommand read{L"slate-read", L"[0|1] (print device, writes, bytes, last byte of the slate-toggle double)",
                    &RunRead};
TestbedCommand reset{L"slate-reset", L"[0|1] (zero the slate-toggle double's counters)", &RunReset};
TestbedCommand list{L"slate-list", L"(print the present slate-toggle interfaces as the cfgmgr32 double lists them)",
                    &RunList};
TestbedCommand interfaces{L"slate-interfaces", L"both|first|second|reversed|none|absent (which interfaces are present)",
                          &RunInterfaces};
TestbedCommand overrides{L"slate-overrides", L"on EXE...|off (load the cfgmgr32 double for these executables)",
                         &RunOverrides};
TestbedCommand present{L"slate-present", L"(exit code 0 when both slate-toggle devices can be opened)", &RunPresent};

}  // namespace
}  // namespace kqdtb
