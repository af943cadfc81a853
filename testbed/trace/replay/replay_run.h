#pragma once
// One replay: the trace's inputs fed in real time through a source's double while
// the stored mode is watched, then what the drivers received collected, all on the
// replay clock.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "trace/replay/input_feeds.h"
#include "trace/replay/replay_plan.h"
#include "trace/replay_record.h"

namespace kqdtb::replay {

// What the energy-management driver and the slate-toggle device received, and the
// system's slate state: clear before the replay, the state read as it starts, the
// rest after it (read fills energy, slate and slateStates). False, with the
// reason, when they cannot be. Without slateState the slate state is not recorded.
struct PublishedDevices {
  std::function<bool(std::string* error)> clear;
  std::function<std::optional<std::uint32_t>()> slateState;
  std::function<bool(Observations* seen, std::string* error)> read;
};

// The testbed's driver doubles (\\.\PwrAuxDrv, both slate-toggle devices and the
// machine's slate state they toggle).
PublishedDevices DriverDoubles();

struct RunSetup {
  Source source = kqd::kSourceSensorApi;
  std::vector<PlannedInput> inputs;
  DWORD settleMs = 1000;  // after the last input, before the records are read
  InputFeed* feed = nullptr;
  PublishedDevices devices;
  HKEY modeRoot = HKEY_LOCAL_MACHINE;
  std::wstring modeKey;  // empty: the service's
  std::wstring modeValue = L"Mode";
};

enum class RunOutcome {
  Refused,  // nothing was replayed: a double is missing or refused to start
  Failed,   // stopped part way; the record holds what happened until then
  Done,
};

struct RunResult {
  RunOutcome outcome = RunOutcome::Refused;
  std::string error;
  trace::Record record;
  size_t delivered = 0;
  double spanMs = 0;     // first input to last
  double maxLateMs = 0;  // the latest input against its time in the trace
  size_t modeWrites = 0;
  size_t energyRequests = 0;
  size_t slateWrites = 0;
};

RunResult RunReplay(const RunSetup& setup);

}  // namespace kqdtb::replay
