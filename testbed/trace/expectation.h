#pragma once
// What the service should publish for a run of inputs, decided by the rules the
// service itself runs (the core library), not by a copy of them.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/mode_name.h"
#include "core/usage_mode.h"
#include "trace/source.h"
#include "trace/trace_file.h"

namespace kqdtb::trace {

// A gap this close to the source's publication delay may land on either side of
// it once the inputs have crossed processes under Wine, so its outcome is not predicted.
inline constexpr double kTimingToleranceMs = 40.0;

struct Burst {
  std::size_t first = 0;  // rows, inclusive
  std::size_t last = 0;
};

struct AmbiguousGap {
  std::size_t row = 0;  // the row after the gap
  double gapMs = 0;
};

struct Grouping {
  std::vector<Burst> bursts;
  std::vector<AmbiguousGap> ambiguous;
};

// A gap shorter than the designed delay continues a burst. Gaps within the
// tolerance of it are listed; they are grouped as if the clocks were exact.
Grouping GroupBursts(const std::vector<Row>& rows, Source source);

struct ExpectedBurst {
  Burst rows;
  double lastInputMs = 0;
  double dueMs = 0;                         // last input + designed delay
  std::optional<kqd::UsageMode> published;  // nothing: the mode holds
};

struct Expectation {
  Source source = kqd::kSourceSensorApi;
  kqd::UsageMode startMode = 0;
  std::vector<ExpectedBurst> bursts;
  std::vector<AmbiguousGap> ambiguous;  // not empty: the bursts are one guess of several

  std::size_t Publications() const;
};

// The mode the WMI provider or the driver reports for a row: its word when the
// driver has one, else its mode. Nothing when the row has neither, or (driver) a
// mode the driver cannot express. The sensor has no per-row mode.
std::optional<kqd::UsageMode> ReportedMode(const Row& row, Source source);

// startMode is the controller's mode before the first input (0 when the service
// has just started). Nothing, with a message, when a row lacks what the source needs.
std::optional<Expectation> Expect(const std::vector<Row>& rows, Source source, kqd::UsageMode startMode,
                                  std::string* error);

// The trace with its "mode" column filled row by row by the posture rule, as a
// firmware provider watching the same hinge would report it.
Trace DeriveModes(const Trace& trace, kqd::UsageMode startMode = 0);

// The modes are named as everywhere else.
using kqd::ModeName;

}  // namespace kqdtb::trace
