#pragma once
// A replay record held against what the service should have published for the
// inputs as they were actually delivered.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trace/expectation.h"
#include "trace/replay_record.h"
#include "trace/trace_file.h"

namespace kqdtb::trace {

// The system's slate state, as GetSystemMetrics(SM_CONVERTIBLESLATEMODE) answers
// it and the record carries it: 0 slate, anything else laptop.
enum class SlateMode { Slate, Laptop };

SlateMode SlateModeFromValue(std::uint32_t value);
const char* SlateModeName(SlateMode mode);

// What was seen between the start of a burst and the start of the next one.
struct BurstResult {
  ExpectedBurst expected;
  std::vector<std::uint32_t> modes;   // "Mode" values, repeats collapsed
  std::vector<std::uint32_t> energy;  // energy-management requests, in order
  std::vector<std::uint32_t> expectedEnergy;
  std::size_t slateWrites = 0;
  // The slate is judged only when the record knows the state it started from.
  bool slateJudged = false;
  std::size_t expectedSlateWrites = 0;
  // As the service takes it: the state its toggles lead to, whether shown yet or not.
  SlateMode slateBefore = SlateMode::Laptop;    // when the burst published, else at its start
  SlateMode slateAfter = SlateMode::Laptop;     // at the end of the burst's window
  SlateMode expectedSlateAfter = SlateMode::Laptop;
  std::optional<double> toPublishMs;  // last input -> the first thing published
  std::optional<double> toModeMs;     // last input -> first "Mode"
  std::optional<double> toEnergyMs;   // last input -> first energy request
  std::vector<std::string> problems;  // empty: as expected
};

struct LatencySummary {
  std::optional<double> publishMedian;        // last input -> the first thing published
  std::optional<double> modeMedian, modeP95;  // last input -> "Mode"
  std::optional<double> energyMedian, energyP95;
  double designedDelayMs = 0;
};

struct Comparison {
  std::vector<Row> rows;  // the trace's rows at the times they were delivered
  Expectation expectation;
  std::vector<BurstResult> bursts;
  std::vector<std::string> differences;  // every problem, with the time of its burst
  // When it was published, against the source's delay and tolerance. Apart from
  // the differences: the replayer's own floor publishes as the service would, at once.
  std::vector<std::string> timing;
  bool slateJudged = false;              // the record has the slate state it started from

  bool Ambiguous() const { return !expectation.ambiguous.empty(); }
  bool AsExpected() const { return differences.empty() && !Ambiguous(); }
  bool OnTime() const { return timing.empty(); }
  LatencySummary Latencies() const;
};

// The trace's rows with the times at which the record says they were delivered.
// Nothing, with a message, when the record's inputs are not the trace's rows.
std::optional<std::vector<Row>> ReplayedRows(const Trace& trace, const Record& record, std::string* error);

// Nothing, with a message, when the record cannot be judged at all (unknown
// source, a trace without what the source needs). A record whose inputs are not
// the trace's rows is judged as a difference.
std::optional<Comparison> Compare(const Trace& trace, const Record& record, std::string* error);

}  // namespace kqdtb::trace
