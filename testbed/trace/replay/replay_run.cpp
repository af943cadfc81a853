#include "trace/replay/replay_run.h"

#include <algorithm>

#include "doubles/pwraux/pwraux_client.h"
#include "doubles/slate/slate_client.h"
#include "mode/mode_store.h"
#include "trace/replay/mode_watcher.h"
#include "trace/replay/replay_clock.h"

namespace kqdtb::replay {
namespace {

size_t Count(const trace::Record& record, trace::EventKind kind) {
  return static_cast<size_t>(std::count_if(record.events.begin(), record.events.end(),
                                           [kind](const trace::Event& event) { return event.kind == kind; }));
}

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace

PublishedDevices DriverDoubles() {
  PublishedDevices devices;
  devices.clear = [](std::string* error) {
    if (!pwraux::Clear()) return Fail(error, "\\\\.\\PwrAuxDrv is not installed (kqdtb install-pwraux)");
    for (int device = 0; device < slate::kDeviceCount; ++device) {
      if (!slate::ResetCounters(device)) return Fail(error, "the slate-toggle double is not installed (kqdtb install-slate)");
    }
    return true;
  };
  devices.slateState = &slate::ReadMetric;
  devices.read = [](Observations* seen, std::string* error) {
    const auto record = pwraux::ReadRecord();
    if (!record) return Fail(error, "cannot read the record of \\\\.\\PwrAuxDrv");
    if (record->dropped != 0) return Fail(error, "\\\\.\\PwrAuxDrv's record overflowed");
    for (const pwraux::Entry& entry : record->entries) {
      if (!entry.malformed) seen->energy.push_back(Stamped{entry.time, entry.code});
    }
    for (int device = 0; device < slate::kDeviceCount; ++device) {
      const auto writes = slate::ReadWrites(device);
      if (!writes) return Fail(error, "cannot read the slate-toggle double's record");
      if (writes->dropped != 0) return Fail(error, "the slate-toggle double's record overflowed");
      for (const slate::Write& write : writes->entries) seen->slate.push_back(Stamped{write.time, write.lastByte});
    }
    std::stable_sort(seen->slate.begin(), seen->slate.end(),
                     [](const Stamped& x, const Stamped& y) { return x.time < y.time; });
    const auto changes = slate::ReadChanges();
    if (!changes) return Fail(error, "cannot read the slate-toggle double's changes of state");
    if (changes->dropped != 0) return Fail(error, "the slate-toggle double's record of changes overflowed");
    for (const slate::StateChange& change : changes->entries) {
      seen->slateStates.push_back(Stamped{change.time, static_cast<std::uint32_t>(change.state)});
    }
    return true;
  };
  return devices;
}

RunResult RunReplay(const RunSetup& setup) {
  RunResult result;
  if (setup.feed == nullptr || setup.inputs.empty() || !setup.devices.clear || !setup.devices.read) {
    result.error = "nothing to replay";
    return result;
  }
  if (!setup.feed->Ready(&result.error)) return result;
  if (!setup.devices.clear(&result.error)) return result;

  const std::wstring modeKey = setup.modeKey.empty() ? std::wstring(kqd::kModeKeyPath) : setup.modeKey;
  ModeWatcher watcher(setup.modeRoot, modeKey, setup.modeValue);
  if (!watcher.Start()) {
    result.error = "cannot watch the stored mode";
    return result;
  }

  Observations seen;
  seen.source = setup.source;
  seen.startMode = ReadDword(setup.modeRoot, modeKey, setup.modeValue);
  if (setup.devices.slateState) {
    seen.startSlate = setup.devices.slateState();
    if (!seen.startSlate) {
      result.error = "cannot read the system's slate state";
      return result;
    }
  }
  result.outcome = RunOutcome::Done;
  if (!setup.feed->Prepare(setup.inputs.front(), &result.error)) result.outcome = RunOutcome::Failed;
  const ReplayClock clock;
  seen.t0 = clock.zero();
  for (size_t i = 0; i < setup.inputs.size() && result.outcome == RunOutcome::Done; ++i) {
    const PlannedInput& input = setup.inputs[i];
    if (i > 0 && !setup.feed->Prepare(input, &result.error)) {
      result.outcome = RunOutcome::Failed;
      break;
    }
    clock.WaitUntil(input.timeMs);
    std::uint64_t at = ReplayClock::Now();
    const bool delivered = setup.feed->Deliver(input, &at, &result.error);
    // Even a failed delivery may have reached the double; it is recorded.
    seen.inputs.push_back(input);
    seen.inputTimes.push_back(at);
    result.maxLateMs = std::max(result.maxLateMs, static_cast<double>(at - seen.t0) / 10000.0 - input.timeMs);
    if (!delivered) {
      result.outcome = RunOutcome::Failed;
      break;
    }
    ++result.delivered;
  }
  if (result.outcome == RunOutcome::Done && !setup.feed->Finish(result.delivered, &result.error)) {
    result.outcome = RunOutcome::Failed;
  }
  if (result.outcome == RunOutcome::Done) ::Sleep(setup.settleMs);
  watcher.Stop();
  for (const ValueWake& wake : watcher.Wakes()) {
    if (wake.value) seen.modes.push_back(Stamped{wake.time, *wake.value});
  }
  std::string readError;
  if (!setup.devices.read(&seen, &readError) && result.outcome == RunOutcome::Done) {
    result.outcome = RunOutcome::Failed;
    result.error = readError;
  }

  result.record = Assemble(seen);
  if (seen.inputTimes.size() > 1) {
    result.spanMs = static_cast<double>(seen.inputTimes.back() - seen.inputTimes.front()) / 10000.0;
  }
  result.modeWrites = Count(result.record, trace::EventKind::Mode);
  result.energyRequests = Count(result.record, trace::EventKind::Energy);
  result.slateWrites = Count(result.record, trace::EventKind::Slate);
  return result;
}

}  // namespace kqdtb::replay
