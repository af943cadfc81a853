#pragma once
// The replayer in the service's place, for the floor of the measuring path: at
// each input that ends a burst it publishes at once what the service would
// publish for it, in the broadcaster's order (the slate toggle where the system's
// slate state disagrees, the energy-management requests, then "Mode", through the
// service's own store), so that the same registry
// watcher and kernel-double stamps time a path with no service in it.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "trace/replay/input_feeds.h"
#include "trace/replay/replay_plan.h"
#include "trace/trace_file.h"

namespace kqdtb::replay {

// Where the publications go: the stored mode as the replay watches it, the
// sender of the energy-management requests (\\.\PwrAuxDrv when not given), and
// the system's slate state (0 slate, 1 laptop) with the toggle that changes it
// (the slate-toggle double's when not given).
struct FloorOutlet {
  HKEY modeRoot = HKEY_LOCAL_MACHINE;
  std::wstring modeKey;  // empty: the service's
  std::wstring modeValue = L"Mode";
  std::function<bool(const std::vector<std::uint32_t>& requests)> notify;
  std::function<std::optional<std::uint32_t>()> slateState;
  std::function<bool()> toggleSlate;
};

// rows are the trace's, whose publications the source's rules decide from the
// mode stored when the replay starts.
std::unique_ptr<InputFeed> MakeFloorFeed(Source source, std::vector<trace::Row> rows, FloorOutlet outlet);

}  // namespace kqdtb::replay
