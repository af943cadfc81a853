#pragma once
// Reads and arranges the slate-toggle double from user mode: the two devices of
// kqdslate.sys, the registry entries that make their interfaces present, the
// cfgmgr32 double that lists those interfaces, and the testbed's holder of the
// indicator. Every call here reaches a device through its testbed name, never an
// interface path, so none of them takes the indicator from the service or is
// refused while the service holds it.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqdtb::slate {

constexpr int kDeviceCount = 2;    // devices 0 and 1
constexpr int kInstanceCount = 3;  // ROOT\KQDSLATE\0000..0002; 0002 is a second name of device 0

struct Counters {
  std::uint32_t writes = 0;              // WriteFile calls, empty ones included
  std::uint64_t bytes = 0;               // over all writes
  std::optional<std::uint8_t> lastByte;  // last byte of the latest non-empty write
  bool held = false;                     // a file opened through an interface path is open
  std::uint32_t refused = 0;             // opens through an interface path refused while one was
};

// One non-empty write as the device recorded it.
struct Write {
  std::uint64_t time = 0;      // arrival, performance counter in 100 ns units
  std::uint32_t length = 0;
  std::uint8_t lastByte = 0;
};

struct WriteRecord {
  std::vector<Write> entries;  // in arrival order
  std::uint32_t dropped = 0;   // writes that found the record full
};

// The machine's slate state, as GetSystemMetrics(SM_CONVERTIBLESLATEMODE) gives it.
enum class SlateState : std::uint32_t { Slate = 0, Laptop = 1 };

std::optional<SlateState> ParseSlateState(std::wstring_view name);  // "slate", "laptop"
const wchar_t* SlateStateName(SlateState state);

struct Machine {
  SlateState state = SlateState::Slate;  // as it shows now
  std::uint32_t lagMs = 0;
  std::uint32_t pending = 0;  // toggles written that have not shown yet
};

struct StateChange {
  std::uint64_t time = 0;  // when it showed, on the clock of Write::time
  SlateState state = SlateState::Laptop;
  bool set = false;  // through SetState rather than a toggling write
};

struct ChangeRecord {
  std::vector<StateChange> entries;  // in the order they showed
  std::uint32_t dropped = 0;
};

constexpr std::uint32_t kMaxLagMs = 10000;
constexpr std::uint32_t kDefaultLagMs = 50;  // at load and after kqdtb reset

// Which interfaces the registry makes present. Wine's setupapi (and so the
// cfgmgr32 double) lists them in the order of their keys under DeviceClasses,
// which the registry keeps sorted by name, that is by instance; so the set
// fixes the list and its order.
enum class InterfaceSet {
  Both,      // 0000 (device 0), 0001 (device 1)
  First,     // 0000 only
  Second,    // 0001 only
  Reversed,  // 0001 (device 1), 0002 (device 0)
  None,      // every instance registered, none linked: the present list is empty
  Absent,    // no registry entries at all
};

std::optional<InterfaceSet> ParseInterfaceSet(std::wstring_view name);  // "both", "first", ...
const wchar_t* InterfaceSetName(InterfaceSet set);

// Instances listed for a set, in list order.
std::vector<int> ListedInstances(InterfaceSet set);
int DeviceOfInstance(int instance);          // -1 for an unknown instance
std::wstring InterfacePath(int instance);    // \\?\root#kqdslate#000N#{317fc439-...}, empty when unknown
std::wstring InstanceId(int instance);       // ROOT\KQDSLATE\000N, empty when unknown

// Devices. Each call opens the device's testbed name; false/nothing when the
// driver is not loaded, the device number is unknown or the driver refuses.
bool IsPresent(int device);
std::optional<Counters> ReadCounters(int device);
bool ResetCounters(int device);  // also empties its record of writes
std::optional<WriteRecord> ReadWrites(int device);
// Polls until the device has seen at least `writes` writes or `timeoutMs` pass;
// returns the last counters read, nothing when they cannot be read.
std::optional<Counters> WaitForWrites(int device, std::uint32_t writes, DWORD timeoutMs);

// The machine's slate state, through device 0 (either device would do). Setting
// it shows at once and drops toggles still pending; the lag applies to writes
// from then on. False/nothing when the driver is not loaded or refuses.
std::optional<Machine> ReadMachine();
// The state as GetSystemMetrics(SM_CONVERTIBLESLATEMODE) reports it: 0 slate, 1 laptop.
std::optional<std::uint32_t> ReadMetric();
// Whether the slate-toggle device admitted the open that gave `file`: false when
// the indicator refused it (Wine 8 hands out a handle all the same, one that every
// request but this fails on), nothing when the file does not answer. For an open
// of an interface path, right after CreateFileW.
std::optional<bool> Admitted(HANDLE file);
// Whether `path` names the slate-toggle class's interface, in any case.
bool IsInterfacePath(std::wstring_view path);
// The one-byte write (0x00) the service makes to change the state, to `device`.
bool WriteToggle(int device);
bool SetState(SlateState state);
bool SetLag(std::uint32_t ms);
std::optional<ChangeRecord> ReadChanges();

// The testbed's holder (kqdtb slate-hold): a process of its own that keeps device
// 0's first interface path open as the service opens it, so that an open by the
// service is refused. It owns the mutex kHolderMutex while it runs and lets go
// when kHolderReleaseEvent is set.
inline constexpr wchar_t kHolderMutex[] = L"kqdtb-slate-holder";
inline constexpr wchar_t kHolderReleaseEvent[] = L"kqdtb-slate-holder-release";
bool HolderRunning();
enum class Release { Ended, NoHolder, StillRunning };
// Tells the holder to let go and waits up to `timeoutMs` for it to end.
Release ReleaseHolder(DWORD timeoutMs);

// Writes (or, for Absent, deletes) the interface entries in HKLM.
bool SetInterfaces(InterfaceSet set);

// The cfgmgr32 double. True when the cfgmgr32.dll of this process is the double.
bool IsCfgmgrDoubleLoaded();
// The present interfaces of the slate class through the double's size and list
// calls; nothing when the double is not loaded or a call fails.
std::optional<std::vector<std::wstring>> ListInterfaces();

// Wine loads the double for an executable (by file name) when its AppDefaults
// DllOverrides say so. Removing clears the override of every executable.
bool SetCfgmgrOverride(std::wstring_view exeName);
bool RemoveCfgmgrOverrides();

}  // namespace kqdtb::slate
