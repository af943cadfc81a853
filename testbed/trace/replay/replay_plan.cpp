#include "trace/replay/replay_plan.h"

#include <algorithm>

#include "doubles/davodira/davodira_client.h"

namespace kqdtb::replay {
namespace {

std::string RowText(size_t index) { return "row " + std::to_string(index + 1); }

double MsSince(std::uint64_t t0, std::uint64_t time) { return static_cast<double>(time - t0) / 10000.0; }

}  // namespace

std::optional<std::vector<PlannedInput>> PlanInputs(const trace::Trace& trace, Source source, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<std::vector<PlannedInput>> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  if (source == kqd::kSourceWmi && !trace.hasMode) return fail("the wmi source needs a \"mode\" column");
  if (source == kqd::kSourceDriver && !trace.hasMode && !trace.hasWord) {
    return fail("the driver source needs a \"word\" or a \"mode\" column");
  }
  if (trace.rows.empty()) return fail("the trace has no rows");
  if (trace.rows.back().timeMs > kMaxTraceMs) {
    return fail("the trace lasts longer than " + std::to_string(static_cast<int>(kMaxTraceMs / 1000)) + " s");
  }
  std::vector<PlannedInput> inputs;
  inputs.reserve(trace.rows.size());
  for (size_t i = 0; i < trace.rows.size(); ++i) {
    const trace::Row& row = trace.rows[i];
    PlannedInput input{row.timeMs, row.a, row.b, std::nullopt, row.mode ? row.mode : row.word};
    switch (source) {
      case kqd::kSourceNone:
      case kqd::kSourceSensorApi:
        break;
      case kqd::kSourceWmi:
        input.setting = row.mode;
        input.value = row.mode;
        break;
      case kqd::kSourceDriver:
        input.value = row.word ? row.word : row.mode;
        if (row.word) {
          input.setting = row.word;
        } else if (row.mode) {
          input.setting = davodira::AnswerForMode(*row.mode);
          if (!input.setting) {
            return fail(RowText(i) + ": mode " + std::to_string(*row.mode) + " has no driver answer; give its word");
          }
        }
        break;
    }
    inputs.push_back(input);
  }
  return inputs;
}

trace::Record Assemble(const Observations& seen) {
  trace::Record record;
  record.source = kqd::ModeSourceName(seen.source);
  record.startMode = seen.startMode;
  record.startSlate = seen.startSlate;
  using trace::EventKind;
  for (size_t i = 0; i < seen.inputs.size() && i < seen.inputTimes.size(); ++i) {
    const PlannedInput& input = seen.inputs[i];
    if (seen.inputTimes[i] < seen.t0) continue;
    record.events.push_back(
        trace::Event{EventKind::Input, MsSince(seen.t0, seen.inputTimes[i]), input.a, input.b, input.value});
  }
  const struct {
    EventKind kind;
    const std::vector<Stamped>* stamps;
  } published[] = {{EventKind::Mode, &seen.modes},
                   {EventKind::Energy, &seen.energy},
                   {EventKind::Slate, &seen.slate},
                   {EventKind::SlateState, &seen.slateStates}};
  for (const auto& group : published) {
    for (const Stamped& stamp : *group.stamps) {
      if (stamp.time < seen.t0) continue;  // left over from before the replay
      record.events.push_back(trace::Event{group.kind, MsSince(seen.t0, stamp.time), 0, 0, stamp.value});
    }
  }
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const trace::Event& x, const trace::Event& y) { return x.timeMs < y.timeMs; });
  return record;
}

}  // namespace kqdtb::replay
