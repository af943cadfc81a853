#pragma once
// What a posture trace asks of one mode source, and how the replay's observations
// become a replay record on one clock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/replay_record.h"
#include "trace/source.h"
#include "trace/trace_file.h"

namespace kqdtb::replay {

// One row as the source takes it.
struct PlannedInput {
  double timeMs = 0;
  float a = 0;
  float b = 0;
  // WMI: the provider's mode (none: its "Data" is null). Driver: the answer word
  // (none: the answer stays as it is and only "Type2" flips).
  std::optional<std::uint32_t> setting;
  std::optional<std::uint32_t> value;  // the record's value: the row's mode or word
};

// Longest trace a replay accepts, so that a typing slip cannot make it wait for days.
inline constexpr double kMaxTraceMs = 10 * 60 * 1000.0;

// Nothing, with the reason, when the trace cannot go through the source: a column
// the source needs is missing, a mode has no driver answer, or it is empty or too long.
std::optional<std::vector<PlannedInput>> PlanInputs(const trace::Trace& trace, Source source, std::string* error);

// Something seen on the performance-counter clock (100 ns units).
struct Stamped {
  std::uint64_t time = 0;
  std::uint32_t value = 0;
};

struct Observations {
  Source source = kqd::kSourceSensorApi;
  std::optional<std::uint32_t> startMode;
  std::uint64_t t0 = 0;  // the replay clock's zero
  std::vector<PlannedInput> inputs;       // those delivered, in order
  std::vector<std::uint64_t> inputTimes;  // when each was triggered, same order
  std::vector<Stamped> modes;             // "Mode" after each change notification
  std::vector<Stamped> energy;            // third fields of the energy-management requests
  std::vector<Stamped> slate;             // bytes written to the slate-toggle device
  std::optional<std::uint32_t> startSlate;  // the system's slate state at t0: 0 slate, 1 laptop
  std::vector<Stamped> slateStates;       // each change of it, with the state it became
};

// The record: times in ms from t0; what happened before t0 left out; in time order.
trace::Record Assemble(const Observations& seen);

}  // namespace kqdtb::replay
