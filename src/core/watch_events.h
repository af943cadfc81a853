#pragma once
// What kqdwatch prints: the events between two observations of "Mode", of the
// service or of the slate state, the "<kqd>:" debugger lines, and the line layout
// with its time stamp.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/usage_mode.h"

namespace kqd {

// "Mode" as the watch reads it.
struct StoredModeState {
  enum class Kind { NoKey, NoValue, NotDword, Value };
  Kind kind = Kind::NoKey;
  UsageMode value = 0;  // Value only
  uint32_t type = 0;    // NotDword only: the registry type and size found
  uint32_t size = 0;
  friend bool operator==(const StoredModeState&, const StoredModeState&) = default;
};

// One text per event from `before` to `now`, in the order they happened; nothing when
// they are equal. Without `before` (the first look) the texts describe `now`.
std::vector<std::string> DescribeModeChange(const std::optional<StoredModeState>& before,
                                            const StoredModeState& now);

// "stopped", "start pending", "stop pending", "running", "continue pending",
// "pause pending", "paused"; "state N" for any other value.
std::string ServiceStateName(uint32_t state);

// The service "KQD" as the watch sees it.
struct ServiceObservation {
  enum class Kind { Absent, Present, DeletePending };
  Kind kind = Kind::Absent;
  uint32_t state = 0;  // Present: dwCurrentState
  uint32_t pid = 0;    // Present: dwProcessId, 0 when no process
  friend bool operator==(const ServiceObservation&, const ServiceObservation&) = default;
};

std::vector<std::string> DescribeServiceChange(const std::optional<ServiceObservation>& before,
                                               const ServiceObservation& now);

// A debugger-output line of the service: its text without the line end when it
// starts with "<kqd>:", nothing for any other line.
std::optional<std::string> KqdDebugText(std::string_view text);

// The slate state as GetSystemMetrics(SM_CONVERTIBLESLATEMODE) gives it in the watch's
// own session: 0 slate, anything else laptop. Compared by value, so a laptop value
// other than 1 still shows as it is.
std::vector<std::string> DescribeSlateChange(const std::optional<int32_t>& before, int32_t now);

// True when a WM_SETTINGCHANGE's lParam string is the one Windows sends when that
// metric changes, "ConvertibleSlateMode" (a null lParam is not).
bool NamesSlateSetting(const char16_t* area);

// The slate-toggle interfaces present when the watch starts, in list order: the
// service writes to the first. `listed` false when the list could not be read.
struct SlateInterfaceList {
  bool listed = false;
  uint32_t configret = 0;  // the failed call's CONFIGRET when not listed
  std::vector<std::string> paths;
};

std::string DescribeSlateInterfaces(const SlateInterfaceList& list);

struct LocalClockTime {
  unsigned hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "hh:mm:ss.mmm  source   text"; the source column is 7 wide ("mode", "service",
// "slate", "debug").
std::string FormatEventLine(const LocalClockTime& time, std::string_view source, std::string_view text);

enum class WatchCommand { Watch, Help, Bad };

// kqdwatch takes no argument; "-h", "--help", "/?" ask for the usage line.
WatchCommand ParseWatchCommandLine(int argc, const char16_t* const* argv);

}  // namespace kqd
