#include "doubles/slate/slate_client.h"

#include <winioctl.h>
#include <cfgmgr32.h>

#include <array>
#include <cstring>

#include "common/device_record.h"
#include "common/dll_override.h"
#include "doubles/slate/slate_contract.h"
#include "win/unique_handle.h"

namespace kqdtb::slate {
namespace {

using kqd::win::UniqueFile;
using kqd::win::UniqueHandleNull;
using kqd::win::UniqueHkey;

constexpr GUID kInterfaceClass = {0x317FC439, 0x3F77, 0x41C8, {0xB0, 0x9E, 0x08, 0xAD, 0x63, 0x27, 0x2A, 0xA3}};
constexpr wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" KQDSLATE_INTERFACE_GUID_TEXT;
constexpr wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\KQDSLATE";
constexpr wchar_t kSystemSetupClass[] = L"{4d36e97d-e325-11ce-bfc1-08002be10318}";

struct NamedSet {
  InterfaceSet set;
  const wchar_t* name;
  std::array<bool, kInstanceCount> linked;
};

constexpr NamedSet kSets[] = {
    {InterfaceSet::Both, L"both", {true, true, false}},
    {InterfaceSet::First, L"first", {true, false, false}},
    {InterfaceSet::Second, L"second", {false, true, false}},
    {InterfaceSet::Reversed, L"reversed", {false, true, true}},
    {InterfaceSet::None, L"none", {false, false, false}},
    {InterfaceSet::Absent, L"absent", {false, false, false}},
};

const NamedSet& Find(InterfaceSet set) {
  for (const NamedSet& entry : kSets) {
    if (entry.set == set) return entry;
  }
  return kSets[0];
}

constexpr struct {
  SlateState state;
  const wchar_t* name;
} kStates[] = {{SlateState::Slate, L"slate"}, {SlateState::Laptop, L"laptop"}};

static_assert(kMaxLagMs == KQDSLATE_MAX_LAG_MS);
static_assert(kDefaultLagMs == KQDSLATE_DEFAULT_LAG_MS);
static_assert(static_cast<ULONG>(SlateState::Slate) == KQDSLATE_STATE_SLATE &&
              static_cast<ULONG>(SlateState::Laptop) == KQDSLATE_STATE_LAPTOP);

SlateState StateOf(ULONG raw) { return raw == KQDSLATE_STATE_SLATE ? SlateState::Slate : SlateState::Laptop; }

bool KnownInstance(int instance) { return instance >= 0 && instance < kInstanceCount; }

std::wstring InstanceDigits(int instance) { return L"000" + std::to_wstring(instance); }

// Key name under the class key, in the form Windows gives it.
std::wstring InterfaceKeyName(int instance) {
  return L"##?#ROOT#KQDSLATE#" + InstanceDigits(instance) + L"#" KQDSLATE_INTERFACE_GUID_TEXT;
}

constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;

std::wstring DeviceName(int device) { return KQDSLATE_USER_DEVICE_PREFIX + std::to_wstring(device); }

UniqueFile OpenDevice(int device) {
  if (device < 0 || device >= kDeviceCount) return UniqueFile{};
  return UniqueFile{::CreateFileW(DeviceName(device).c_str(), kDeviceAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

UniqueHkey CreateKey(HKEY root, const std::wstring& path) {
  UniqueHkey key;
  if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return UniqueHkey{};
  }
  return key;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const wchar_t* name, DWORD value) {
  return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
         ERROR_SUCCESS;
}

bool DeleteTree(HKEY root, const std::wstring& path) {
  const LSTATUS status = ::RegDeleteTreeW(root, path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool WriteInstance(int instance, bool linked) {
  const std::wstring interfaceKey = std::wstring(kClassKey) + L"\\" + InterfaceKeyName(instance);
  const UniqueHkey iface = CreateKey(HKEY_LOCAL_MACHINE, interfaceKey);
  const UniqueHkey reference = CreateKey(HKEY_LOCAL_MACHINE, interfaceKey + L"\\#");
  const UniqueHkey control = CreateKey(HKEY_LOCAL_MACHINE, interfaceKey + L"\\#\\Control");
  const UniqueHkey device = CreateKey(HKEY_LOCAL_MACHINE, std::wstring(kEnumKey) + L"\\" + InstanceDigits(instance));
  if (!iface || !reference || !control || !device) return false;
  std::wstring upperPath = L"\\\\?\\ROOT#KQDSLATE#" + InstanceDigits(instance) + L"#" KQDSLATE_INTERFACE_GUID_TEXT;
  return SetString(iface.get(), L"DeviceInstance", InstanceId(instance)) &&
         SetString(reference.get(), L"SymbolicLink", upperPath) && SetDword(control.get(), L"Linked", linked ? 1 : 0) &&
         SetString(device.get(), L"ClassGUID", kSystemSetupClass) &&
         SetString(device.get(), L"DeviceDesc", L"KQD testbed slate-toggle device");
}

bool RemoveInstances() {
  bool ok = true;
  for (int instance = 0; instance < kInstanceCount; ++instance) {
    ok = DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(kClassKey) + L"\\" + InterfaceKeyName(instance)) && ok;
  }
  ok = DeleteTree(HKEY_LOCAL_MACHINE, kEnumKey) && ok;
  DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kClassKey);
  return ok;
}

using SizeFn = CONFIGRET(WINAPI*)(PULONG, LPGUID, DEVINSTID_W, ULONG);
using ListFn = CONFIGRET(WINAPI*)(LPGUID, DEVINSTID_W, PZZWSTR, ULONG, ULONG);

// void(*)() is the generic function type that converts to any other without a warning.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// Wine's builtin cfgmgr32 aborts the process in the list call, so nothing is
// called unless the module is the double.
HMODULE DoubleModule() {
  HMODULE module = ::GetModuleHandleW(L"cfgmgr32.dll");
  if (module == nullptr) module = ::LoadLibraryW(L"cfgmgr32.dll");  // stays loaded, as a static import would
  if (module == nullptr || ::GetProcAddress(module, "KqdCfgmgr32Double") == nullptr) return nullptr;
  return module;
}

}  // namespace

std::optional<SlateState> ParseSlateState(std::wstring_view name) {
  for (const auto& entry : kStates) {
    if (name == entry.name) return entry.state;
  }
  return std::nullopt;
}

const wchar_t* SlateStateName(SlateState state) {
  for (const auto& entry : kStates) {
    if (state == entry.state) return entry.name;
  }
  return kStates[1].name;
}

std::optional<InterfaceSet> ParseInterfaceSet(std::wstring_view name) {
  for (const NamedSet& entry : kSets) {
    if (name == entry.name) return entry.set;
  }
  return std::nullopt;
}

const wchar_t* InterfaceSetName(InterfaceSet set) { return Find(set).name; }

std::vector<int> ListedInstances(InterfaceSet set) {
  std::vector<int> listed;
  const NamedSet& entry = Find(set);
  for (int instance = 0; instance < kInstanceCount; ++instance) {
    if (entry.linked[instance]) listed.push_back(instance);
  }
  return listed;
}

int DeviceOfInstance(int instance) { return KnownInstance(instance) ? KQDSLATE_INSTANCE_DEVICE(instance) : -1; }

std::wstring InterfacePath(int instance) {
  if (!KnownInstance(instance)) return {};
  return KQDSLATE_INTERFACE_PATH_PREFIX + std::to_wstring(instance) + KQDSLATE_INTERFACE_SUFFIX;
}

std::wstring InstanceId(int instance) {
  if (!KnownInstance(instance)) return {};
  return std::wstring(KQDSLATE_ENUMERATOR) + L"\\" + InstanceDigits(instance);
}

bool IsPresent(int device) { return OpenDevice(device).valid(); }

std::optional<Counters> ReadCounters(int device) {
  const UniqueFile handle = OpenDevice(device);
  if (!handle) return std::nullopt;
  KQDSLATE_COUNTERS raw{};
  DWORD returned = 0;
  if (!::DeviceIoControl(handle.get(), IOCTL_KQDSLATE_GET_COUNTERS, nullptr, 0, &raw, sizeof(raw), &returned,
                         nullptr) ||
      returned != sizeof(raw)) {
    return std::nullopt;
  }
  Counters counters;
  counters.writes = raw.Writes;
  counters.bytes = raw.Bytes;
  if (raw.LastByte <= 0xFF) counters.lastByte = static_cast<std::uint8_t>(raw.LastByte);
  counters.held = raw.Held != 0;
  counters.refused = raw.Refused;
  return counters;
}

bool ResetCounters(int device) {
  const UniqueFile handle = OpenDevice(device);
  if (!handle) return false;
  DWORD returned = 0;
  return ::DeviceIoControl(handle.get(), IOCTL_KQDSLATE_RESET_COUNTERS, nullptr, 0, nullptr, 0, &returned,
                           nullptr) != FALSE;
}

std::optional<WriteRecord> ReadWrites(int device) {
  if (device < 0 || device >= kDeviceCount) return std::nullopt;
  return kqdtb::device::ReadRecord<KQDSLATE_RECORD_HEADER, KQDSLATE_RECORD_ENTRY>(
      DeviceName(device).c_str(), kDeviceAccess, IOCTL_KQDSLATE_READ_RECORD, KQDSLATE_READ_BUFFER_SIZE,
      [](const KQDSLATE_RECORD_HEADER& header) {
        WriteRecord record;
        record.dropped = header.dropped;
        return record;
      },
      [](const KQDSLATE_RECORD_ENTRY& raw) {
        return Write{raw.time, raw.length, static_cast<std::uint8_t>(raw.last_byte)};
      });
}

std::optional<Counters> WaitForWrites(int device, std::uint32_t writes, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    std::optional<Counters> counters = ReadCounters(device);
    if (!counters || counters->writes >= writes || ::GetTickCount64() >= deadline) return counters;
    ::Sleep(10);
  }
}

std::optional<Machine> ReadMachine() {
  const auto bytes =
      kqdtb::device::Read(DeviceName(0).c_str(), kDeviceAccess, IOCTL_KQDSLATE_GET_MACHINE, sizeof(KQDSLATE_MACHINE));
  if (!bytes || bytes->size() != sizeof(KQDSLATE_MACHINE)) return std::nullopt;
  KQDSLATE_MACHINE raw{};
  std::memcpy(&raw, bytes->data(), sizeof(raw));
  return Machine{StateOf(raw.State), raw.LagMs, raw.Pending};
}

std::optional<std::uint32_t> ReadMetric() {
  const auto machine = ReadMachine();
  if (!machine) return std::nullopt;
  return static_cast<std::uint32_t>(machine->state);
}

std::optional<bool> Admitted(HANDLE file) {
  // An event of its own, so that an overlapped handle is answered as well as a plain one.
  const UniqueHandleNull done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (!done) return std::nullopt;
  OVERLAPPED overlapped{};
  overlapped.hEvent = done.get();
  ULONG admitted = 0;
  DWORD returned = 0;
  if (!::DeviceIoControl(file, IOCTL_KQDSLATE_GET_ADMITTED, nullptr, 0, &admitted, sizeof(admitted), nullptr,
                         &overlapped) &&
      ::GetLastError() != ERROR_IO_PENDING) {
    return std::nullopt;
  }
  if (!::GetOverlappedResult(file, &overlapped, &returned, TRUE) || returned != sizeof(admitted)) return std::nullopt;
  return admitted != 0;
}

bool IsInterfacePath(std::wstring_view path) {
  constexpr std::wstring_view suffix = KQDSLATE_INTERFACE_SUFFIX;
  if (path.size() < suffix.size()) return false;
  const std::wstring_view tail = path.substr(path.size() - suffix.size());
  return ::CompareStringOrdinal(tail.data(), static_cast<int>(tail.size()), suffix.data(),
                                static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL;
}

bool WriteToggle(int device) {
  const UniqueFile handle = OpenDevice(device);
  const BYTE toggle = 0x00;
  DWORD written = 0;
  return handle && ::WriteFile(handle.get(), &toggle, 1, &written, nullptr) && written == 1;
}

bool SetState(SlateState state) {
  const ULONG raw = static_cast<ULONG>(state);
  return kqdtb::device::Control(DeviceName(0).c_str(), kDeviceAccess, IOCTL_KQDSLATE_SET_STATE, &raw, sizeof(raw));
}

bool SetLag(std::uint32_t ms) {
  if (ms > kMaxLagMs) return false;
  const ULONG raw = ms;
  return kqdtb::device::Control(DeviceName(0).c_str(), kDeviceAccess, IOCTL_KQDSLATE_SET_LAG, &raw, sizeof(raw));
}

std::optional<ChangeRecord> ReadChanges() {
  return kqdtb::device::ReadRecord<KQDSLATE_RECORD_HEADER, KQDSLATE_CHANGE_ENTRY>(
      DeviceName(0).c_str(), kDeviceAccess, IOCTL_KQDSLATE_READ_CHANGES, KQDSLATE_CHANGES_BUFFER_SIZE,
      [](const KQDSLATE_RECORD_HEADER& header) {
        ChangeRecord record;
        record.dropped = header.dropped;
        return record;
      },
      [](const KQDSLATE_CHANGE_ENTRY& raw) { return StateChange{raw.time, StateOf(raw.state), raw.set != 0}; });
}

bool HolderRunning() { return UniqueHandleNull{::OpenMutexW(SYNCHRONIZE, FALSE, kHolderMutex)}.valid(); }

Release ReleaseHolder(DWORD timeoutMs) {
  const UniqueHandleNull holder{::OpenMutexW(SYNCHRONIZE, FALSE, kHolderMutex)};
  if (!holder) return Release::NoHolder;
  // The holder makes its release event just after the mutex, so it may not be there yet.
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const UniqueHandleNull release{::OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolderReleaseEvent)};
    if (release) ::SetEvent(release.get());
    // It never releases the mutex, so the wait ends when its thread has ended (abandoned).
    const DWORD waited = ::WaitForSingleObject(holder.get(), release ? 1000 : 10);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      ::ReleaseMutex(holder.get());
      return Release::Ended;
    }
    if (::GetTickCount64() >= deadline) return Release::StillRunning;
  }
}

bool SetInterfaces(InterfaceSet set) {
  if (set == InterfaceSet::Absent) return RemoveInstances();
  const NamedSet& entry = Find(set);
  bool ok = true;
  for (int instance = 0; instance < kInstanceCount; ++instance) {
    ok = WriteInstance(instance, entry.linked[instance]) && ok;
  }
  return ok;
}

bool IsCfgmgrDoubleLoaded() { return DoubleModule() != nullptr; }

std::optional<std::vector<std::wstring>> ListInterfaces() {
  const HMODULE module = DoubleModule();
  if (module == nullptr) return std::nullopt;
  const auto size = Export<SizeFn>(module, "CM_Get_Device_Interface_List_SizeW");
  const auto list = Export<ListFn>(module, "CM_Get_Device_Interface_ListW");
  if (size == nullptr || list == nullptr) return std::nullopt;

  GUID interfaceClass = kInterfaceClass;
  ULONG length = 0;
  if (size(&length, &interfaceClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS || length == 0) {
    return std::nullopt;
  }
  std::vector<wchar_t> buffer(length, L'\0');
  if (list(&interfaceClass, nullptr, buffer.data(), length, CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS) {
    return std::nullopt;
  }
  buffer.back() = L'\0';  // the walk below stops inside the buffer whatever came back
  std::vector<std::wstring> paths;
  for (const wchar_t* p = buffer.data(); *p != L'\0'; p += paths.back().size() + 1) paths.emplace_back(p);
  return paths;
}

bool SetCfgmgrOverride(std::wstring_view exeName) { return SetNativeOverride(exeName, L"cfgmgr32"); }

bool RemoveCfgmgrOverrides() { return RemoveNativeOverrides(L"cfgmgr32"); }

}  // namespace kqdtb::slate
