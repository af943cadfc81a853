#pragma once
// The mode sources in one table: what each is called, the order the controller
// tries them in, how long each waits after an input before it publishes, and what
// its publications send besides "Mode". The controller, the trace oracle, the
// replayer and the testbed's scripts all read this table; adding a source starts
// with a row here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/usage_mode.h"

namespace kqd {

// The G-sensor source publishes once the hinge has been quiet this long.
inline constexpr uint32_t kSensorDebounceMs = 200;
// The WMI source waits this long after a query for the rest of a burst of events.
inline constexpr uint32_t kWmiBurstWindowMs = 10;

// How far a replay lets a source's publications stray from its delay, from the last
// input of a burst to the first thing published. A single publication is held from
// below only, since a busy machine can hold any one of them up; the median over a
// replay from both sides: no less than the delay, no more than the delay plus the
// margin. The margins come from replays under load (docs/benchmarks.md).
struct PublishTolerance {
  uint32_t earlyMs;         // one publication may come this much before the delay
  uint32_t medianMarginMs;  // the median may come this much after it
};
inline constexpr PublishTolerance kSensorDebounceTolerance = {10, 12};
inline constexpr PublishTolerance kWmiBurstWindowTolerance = {1, 15};
inline constexpr PublishTolerance kDriverPublishTolerance = {0, 12};
// Fewer publications than this in a replay give no median worth judging.
inline constexpr std::size_t kPublishMedianMinimum = 3;

struct ModeSourceInfo {
  ModeSourceKind kind;
  std::string_view name;     // as the testbed's commands and traces spell it
  uint32_t publishDelayMs;   // after the last input of a burst; 0: at once
  PublishTolerance tolerance;
  BroadcastSwitches switches;
};

// In the controller's order of preference. One row per line: the testbed's
// build reads the names from here (tests/fixtures.cmake).
inline constexpr std::array<ModeSourceInfo, 3> kModeSources = {{
    {kSourceWmi, "wmi", kWmiBurstWindowMs, kWmiBurstWindowTolerance, {1, 1, 1}},
    {kSourceSensorApi, "sensor", kSensorDebounceMs, kSensorDebounceTolerance, {1, 1, 1}},
    {kSourceDriver, "driver", 0, kDriverPublishTolerance, {0, 0, 0}},
}};

// Nothing for kSourceNone or a value no row has.
constexpr const ModeSourceInfo* FindModeSource(ModeSourceKind kind) {
  for (const ModeSourceInfo& source : kModeSources) {
    if (source.kind == kind) return &source;
  }
  return nullptr;
}

// A kind no row has publishes at once, with the switches a controller starts with.
constexpr uint32_t ModeSourceDelayMs(ModeSourceKind kind) {
  const ModeSourceInfo* source = FindModeSource(kind);
  return source ? source->publishDelayMs : 0;
}
constexpr PublishTolerance ModeSourceTolerance(ModeSourceKind kind) {
  const ModeSourceInfo* source = FindModeSource(kind);
  return source ? source->tolerance : PublishTolerance{0, 0};
}
constexpr BroadcastSwitches ModeSourceSwitches(ModeSourceKind kind) {
  const ModeSourceInfo* source = FindModeSource(kind);
  return source ? source->switches : BroadcastSwitches{};
}

std::optional<ModeSourceKind> ParseModeSourceName(std::string_view name);

// "wmi" and so on; "none" for kSourceNone and any value no row has.
std::string_view ModeSourceName(ModeSourceKind kind);

// "wmi|sensor|driver", for usage lines.
std::string ModeSourceNames();

// The table as text, one source per line after a header, in the order of preference:
//   source kind delay_ms slate_sync posture_code raw_mode early_ms median_margin_ms
std::string FormatModeSourceTable();

}  // namespace kqd
