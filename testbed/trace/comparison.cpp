#include "trace/comparison.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>

#include "core/broadcast_rules.h"
#include "core/slate_toggle.h"
#include "trace/stats.h"

namespace kqdtb::trace {
namespace {

// The replayer does not run without the slate-toggle double, so the service
// always finds the device.
constexpr bool kSlateDevicePresent = true;

std::int32_t SlateMetric(SlateMode mode) { return mode == SlateMode::Slate ? 0 : 1; }

// Each byte written toggles the system's state.
SlateMode Toggled(SlateMode mode) { return mode == SlateMode::Slate ? SlateMode::Laptop : SlateMode::Slate; }

std::string Join(const std::vector<std::uint32_t>& values) {
  if (values.empty()) return "none";
  std::string text;
  for (const std::uint32_t value : values) {
    if (!text.empty()) text += ' ';
    text += std::to_string(value);
  }
  return text;
}

std::string Ms(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", value);
  return text;
}

bool SameAngle(float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); }

// The registry as the replayer saw it: a value only counts when it differs from
// the one stored before it.
bool NoteMode(std::vector<std::uint32_t>& seen, std::optional<std::uint32_t>& stored, std::uint32_t value) {
  if (stored == value) return false;
  seen.push_back(value);
  stored = value;
  return true;
}

// Why a burst should write what it should, for the message when it did not.
std::string SlateWriteReason(const BurstResult& result, const kqd::BroadcastSwitches& switches, Source source) {
  if (!result.expected.published) return "while the mode holds";
  if (switches.SlateSync == 0) {
    return "from the " + std::string(kqd::ModeSourceName(source)) + " source, which leaves it alone";
  }
  const kqd::UsageMode mode = *result.expected.published;
  return "for " + std::to_string(mode) + " (" + ModeName(mode) + ") with the system " +
         SlateModeName(result.slateBefore);
}

}  // namespace

SlateMode SlateModeFromValue(std::uint32_t value) { return value == 0 ? SlateMode::Slate : SlateMode::Laptop; }

const char* SlateModeName(SlateMode mode) { return mode == SlateMode::Slate ? "slate" : "laptop"; }

std::optional<std::vector<Row>> ReplayedRows(const Trace& trace, const Record& record, std::string* error) {
  std::vector<Row> rows;
  const bool sensor = kqd::ParseModeSourceName(record.source) == kqd::kSourceSensorApi;
  for (const Event& event : record.events) {
    if (event.kind != EventKind::Input) continue;
    const std::size_t index = rows.size();
    if (index >= trace.rows.size()) break;
    Row row = trace.rows[index];
    if (sensor && (!SameAngle(row.a, event.a) || !SameAngle(row.b, event.b))) {
      if (error != nullptr) {
        *error = "input " + std::to_string(index + 1) + " delivered " + FormatFloat(event.a) + "," +
                 FormatFloat(event.b) + " where the trace has " + FormatFloat(row.a) + "," + FormatFloat(row.b);
      }
      return std::nullopt;
    }
    row.timeMs = event.timeMs;
    rows.push_back(row);
  }
  std::size_t inputs = 0;
  for (const Event& event : record.events) inputs += event.kind == EventKind::Input ? 1 : 0;
  if (inputs != trace.rows.size()) {
    if (error != nullptr) {
      *error = "the record has " + std::to_string(inputs) + " inputs, the trace " + std::to_string(trace.rows.size()) +
               " rows";
    }
    return std::nullopt;
  }
  return rows;
}

LatencySummary Comparison::Latencies() const {
  std::vector<double> toPublish;
  std::vector<double> toMode;
  std::vector<double> toEnergy;
  for (const BurstResult& burst : bursts) {
    if (!burst.expected.published) continue;
    if (burst.toPublishMs) toPublish.push_back(*burst.toPublishMs);
    if (burst.toModeMs) toMode.push_back(*burst.toModeMs);
    if (burst.toEnergyMs) toEnergy.push_back(*burst.toEnergyMs);
  }
  return {Median(toPublish), Median(toMode), Percentile(toMode, 95), Median(toEnergy), Percentile(toEnergy, 95),
          static_cast<double>(kqd::ModeSourceDelayMs(expectation.source))};
}

namespace {

// Each publication no earlier than the delay less its tolerance; the median of
// them between the delay and the delay plus its margin.
std::vector<std::string> JudgeTiming(const std::vector<BurstResult>& bursts, Source source) {
  const double delay = kqd::ModeSourceDelayMs(source);
  const kqd::PublishTolerance tolerance = kqd::ModeSourceTolerance(source);
  const double earliest = delay - tolerance.earlyMs;
  std::vector<std::string> problems;
  std::vector<double> delays;
  for (const BurstResult& burst : bursts) {
    if (!burst.expected.published || !burst.toPublishMs) continue;
    delays.push_back(*burst.toPublishMs);
    if (*burst.toPublishMs < earliest) {
      problems.push_back("burst ending at " + Ms(burst.expected.lastInputMs) + ": published after " +
                         Ms(*burst.toPublishMs) + ", before the earliest " + Ms(earliest));
    }
  }
  if (delays.size() < kqd::kPublishMedianMinimum) return problems;
  const double median = *Median(delays);
  const double latest = delay + tolerance.medianMarginMs;
  if (median < delay || median > latest) {
    problems.push_back("the median publication came " + Ms(median) + " after the last input, outside " +
                       Ms(delay) + " to " + Ms(latest) + " (" + std::to_string(delays.size()) + " publications)");
  }
  return problems;
}

}  // namespace

std::optional<Comparison> Compare(const Trace& trace, const Record& record, std::string* error) {
  const auto source = kqd::ParseModeSourceName(record.source);
  if (!source) {
    if (error != nullptr) *error = "the record's source \"" + record.source + "\" is none of " + kqd::ModeSourceNames();
    return std::nullopt;
  }
  const kqd::UsageMode startMode = record.startMode.value_or(0);
  Comparison comparison;
  std::string why;
  const auto rows = ReplayedRows(trace, record, &why);
  if (!rows) {
    // Still refuse a trace the source cannot replay at all.
    const auto planned = Expect(trace.rows, *source, startMode, error);
    if (!planned) return std::nullopt;
    comparison.expectation = *planned;
    comparison.expectation.bursts.clear();
    comparison.differences.push_back(why);
    return comparison;
  }
  auto expectation = Expect(*rows, *source, startMode, error);
  if (!expectation) return std::nullopt;
  comparison.expectation = std::move(*expectation);
  comparison.rows = *rows;
  const Expectation& expected = comparison.expectation;
  const kqd::BroadcastSwitches switches = kqd::ModeSourceSwitches(*source);

  std::optional<std::uint32_t> stored = record.startMode;
  std::optional<std::uint32_t> expectedStored = record.startMode;
  std::vector<std::uint32_t> expectedSequence;
  std::vector<std::uint32_t> seenSequence;
  comparison.slateJudged = record.startSlate.has_value();
  SlateMode slate = SlateModeFromValue(record.startSlate.value_or(1));
  // The service decides on the state its own toggles lead to, shown or not yet:
  // toggles show in the order they were written, each one change of the state,
  // and one that has not shown within the limit is given up.
  std::deque<double> unshownWrites;
  const auto intended = [&](double atMs) {
    while (!unshownWrites.empty() && atMs - unshownWrites.front() >= kqd::kSlateToggleShowLimitMs) {
      comparison.differences.push_back("the slate write at " + Ms(unshownWrites.front()) + " never showed");
      unshownWrites.pop_front();
    }
    return unshownWrites.size() % 2 == 0 ? slate : Toggled(slate);
  };
  std::optional<kqd::UsageMode> lastPublished;
  std::size_t next = 0;  // the first record event not yet placed in a burst
  constexpr double kEndOfTime = std::numeric_limits<double>::infinity();
  // A write not shown by the record's end is named once, after the bursts.
  const double recordEndMs = record.events.empty() ? 0.0 : record.events.back().timeMs;

  for (std::size_t k = 0; k < expected.bursts.size(); ++k) {
    const ExpectedBurst& burst = expected.bursts[k];
    const double windowEnd = k + 1 < expected.bursts.size() ? comparison.rows[expected.bursts[k + 1].rows.first].timeMs
                                                            : kEndOfTime;
    BurstResult result;
    result.expected = burst;
    result.slateJudged = comparison.slateJudged;
    result.slateBefore = intended(comparison.rows[burst.rows.first].timeMs);
    bool announced = false;
    std::optional<double> early;
    for (; next < record.events.size() && record.events[next].timeMs < windowEnd; ++next) {
      const Event& event = record.events[next];
      const double latency = event.timeMs - burst.lastInputMs;
      const std::uint32_t value = event.value.value_or(0);
      if (event.kind == EventKind::Input) continue;
      if (event.kind == EventKind::SlateState) {
        slate = SlateModeFromValue(value);
        if (!unshownWrites.empty()) unshownWrites.pop_front();
        continue;
      }
      if (event.kind == EventKind::Mode && !NoteMode(result.modes, stored, value)) continue;
      // The broadcaster reads the slate state before it does anything else, so a
      // change left over from the burst before still counts for this one.
      if (!announced) {
        result.slateBefore = intended(event.timeMs);
        result.toPublishMs = latency;
        announced = true;
      }
      if (event.kind == EventKind::Mode) {
        seenSequence.push_back(value);
        if (!result.toModeMs) result.toModeMs = latency;
      } else if (event.kind == EventKind::Energy) {
        result.energy.push_back(value);
        if (!result.toEnergyMs) result.toEnergyMs = latency;
      } else {
        ++result.slateWrites;
        if (comparison.slateJudged) unshownWrites.push_back(event.timeMs);
      }
      if (latency < 0 && !early) early = -latency;
    }
    result.slateAfter = intended(std::min(windowEnd, recordEndMs));
    if (early) result.problems.push_back("published " + Ms(*early) + " before the burst's last input");

    // One announcement per burst: each input restarts the source's wait.
    kqd::AnnouncementPlan plan;
    if (burst.published) {
      plan = kqd::PlanAnnouncement(*burst.published, switches, SlateMetric(result.slateBefore), kSlateDevicePresent);
    }
    result.expectedEnergy.assign(plan.requests.begin(), plan.requests.end());
    result.expectedSlateWrites = plan.writeSlateByte ? 1 : 0;
    result.expectedSlateAfter = plan.writeSlateByte ? Toggled(result.slateBefore) : result.slateBefore;

    if (burst.published) {
      const kqd::UsageMode mode = *burst.published;
      lastPublished = mode;
      if (expectedStored != mode) expectedSequence.push_back(mode);
      expectedStored = mode;
      // Wine's registry drops a write of the value already stored and tells no
      // one, so a publication that repeats the stored mode shows no "Mode"; the
      // replayer's notifications may also merge, hence repeats are collapsed.
      const bool modeSeen = result.modes == std::vector<std::uint32_t>{mode};
      if (!modeSeen && !(result.modes.empty() && stored == mode)) {
        result.problems.push_back("Mode " + Join(result.modes) + ", expected " + std::to_string(mode) + " (" +
                                  ModeName(mode) + ")");
      }
      if (result.energy != result.expectedEnergy) {
        result.problems.push_back("energy requests " + Join(result.energy) + ", expected " +
                                  Join(result.expectedEnergy));
      }
    } else if (!result.modes.empty() || !result.energy.empty()) {
      result.problems.push_back("published (Mode " + Join(result.modes) + ", energy requests " +
                                Join(result.energy) + ") although the mode holds");
    }
    if (result.slateJudged) {
      if (result.slateWrites != result.expectedSlateWrites) {
        result.problems.push_back("slate writes " + std::to_string(result.slateWrites) + ", expected " +
                                  std::to_string(result.expectedSlateWrites) + " " +
                                  SlateWriteReason(result, switches, *source));
      }
      if (result.slateAfter != result.expectedSlateAfter) {
        result.problems.push_back(std::string("slate state ") + SlateModeName(result.slateAfter) +
                                  " at the end of the burst, expected " + SlateModeName(result.expectedSlateAfter));
      }
    }
    for (const std::string& problem : result.problems) {
      comparison.differences.push_back("burst ending at " + Ms(burst.lastInputMs) + ": " + problem);
    }
    comparison.bursts.push_back(std::move(result));
  }
  for (const double writtenMs : unshownWrites) {
    comparison.differences.push_back("the slate write at " + Ms(writtenMs) + " has not shown by the end of the record");
  }
  // However the bursts went, the machine must be left as the service would leave it.
  if (comparison.slateJudged && lastPublished &&
      kqd::PlanAnnouncement(*lastPublished, switches, SlateMetric(slate), kSlateDevicePresent).writeSlateByte) {
    comparison.differences.push_back(std::string("the replay ends with the system ") + SlateModeName(slate) +
                                      ", which disagrees with the last published mode " +
                                      std::to_string(*lastPublished) + " (" + ModeName(*lastPublished) + ")");
  }
  if (expected.bursts.empty()) {
    for (const Event& event : record.events) {
      if (event.kind == EventKind::Input) continue;
      comparison.differences.push_back("published at " + Ms(event.timeMs) + " without any input");
      break;
    }
  }
  if (seenSequence != expectedSequence) {
    comparison.differences.push_back("Mode went " + Join(seenSequence) + ", expected " + Join(expectedSequence));
  }
  comparison.timing = JudgeTiming(comparison.bursts, *source);
  return comparison;
}

}  // namespace kqdtb::trace
