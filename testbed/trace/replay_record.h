#pragma once
// What a replay saw: each input the replayer delivered and each thing the service
// published, on one clock (milliseconds from the start of the replay).
//
//   kind,time_ms,a,b,value
//   source,0,,,sensor            <- the source the trace went through
//   start,0,,,1                  <- "Mode" before the first input; empty when absent
//   input,0.42,120,90,           <- value: the row's mode or word, when it had one
//   mode,203.1,,,1               <- "Mode" read after the registry said it changed
//   energy,203.6,,,9             <- an energy-management request: its third field
//   slatestart,0,,,1             <- the system's slate state before the first input,
//                                   as GetSystemMetrics(SM_CONVERTIBLESLATEMODE)
//                                   answers it: 0 slate, 1 laptop; empty when unknown
//   slate,203.9,,,0              <- a write to the slate-toggle device: the byte
//   slatestate,204.0,,,1         <- the system's slate state became this value
//
// Platform-free: written by the replayer under Wine, read by the native analysis.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqdtb::trace {

enum class EventKind { Input, Mode, Energy, Slate, SlateState };

struct Event {
  EventKind kind = EventKind::Input;
  double timeMs = 0;
  float a = 0;  // inputs only
  float b = 0;
  std::optional<std::uint32_t> value;
};

struct Record {
  std::string source;                      // as kqd::ModeSourceName spells it
  std::optional<std::uint32_t> startMode;  // "Mode" before the first input
  std::optional<std::uint32_t> startSlate; // slate state before it: 0 slate, 1 laptop
  std::vector<Event> events;               // in time order
};

std::string FormatRecord(const Record& record);

// Nothing, with a message naming the line, when the text is not a record. Events
// are sorted by time (stably), so a record merged from several clocks reads well.
std::optional<Record> ParseRecord(std::string_view text, std::string* error);

}  // namespace kqdtb::trace
