#include "trace/replay/floor_feed.h"

#include <optional>

#include "doubles/pwraux/pwraux_client.h"
#include "doubles/slate/slate_client.h"
#include "core/broadcast_rules.h"
#include "core/slate_toggle.h"
#include "mode/mode_store.h"
#include "trace/replay/mode_watcher.h"
#include "trace/replay/replay_clock.h"
#include "trace/expectation.h"

namespace kqdtb::replay {
namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

class FloorFeed final : public InputFeed {
 public:
  FloorFeed(Source source, std::vector<trace::Row> rows, FloorOutlet outlet)
      : source_(source), rows_(std::move(rows)), outlet_(std::move(outlet)) {
    if (outlet_.modeKey.empty()) outlet_.modeKey = kqd::kModeKeyPath;
    if (!outlet_.notify) outlet_.notify = &pwraux::Notify;
    if (!outlet_.slateState) outlet_.slateState = &slate::ReadMetric;
    if (!outlet_.toggleSlate) outlet_.toggleSlate = [] { return slate::WriteToggle(0); };
  }

  // What to publish is decided here, from the mode the replay starts with, by the
  // rules the comparison judges by: each burst's mode at its last input.
  bool Ready(std::string* error) override {
    const kqd::UsageMode start = ReadDword(outlet_.modeRoot, outlet_.modeKey, outlet_.modeValue).value_or(0);
    const auto expectation = trace::Expect(rows_, source_, start, error);
    if (!expectation) return false;
    publications_.assign(rows_.size(), std::nullopt);
    for (const trace::ExpectedBurst& burst : expectation->bursts) publications_[burst.rows.last] = burst.published;
    next_ = 0;
    return true;
  }

  bool Prepare(const PlannedInput&, std::string*) override { return true; }

  bool Deliver(const PlannedInput&, std::uint64_t* at, std::string* error) override {
    if (next_ >= publications_.size()) return Fail(error, "more inputs than the trace has rows");
    const std::optional<kqd::UsageMode> mode = publications_[next_++];
    *at = ReplayClock::Now();
    if (!mode) return true;
    const kqd::BroadcastSwitches switches = kqd::ModeSourceSwitches(source_);
    // As in the broadcaster, the state is read only where it is kept in line;
    // otherwise the plan does not look at it.
    std::optional<std::uint32_t> state;
    if (switches.SlateSync != 0) {
      state = outlet_.slateState();
      if (!state) return Fail(error, "cannot read the system's slate state");
    }
    // The floor publishes at inputs only, with no look between them: a write that
    // a toggle still on its way makes wait is the service's cost, not the floor's.
    const std::uint64_t nowMs = *at / 10000;
    const bool write = switches.SlateSync != 0 &&
                       slateToggle_.Decide(*mode, static_cast<std::int32_t>(*state), nowMs, true).write;
    if (write) {
      if (!outlet_.toggleSlate()) return Fail(error, "the slate-toggle device did not take the floor's write");
      slateToggle_.Written(nowMs);
    }
    const kqd::PwrAuxSequence sequence = kqd::PwrAuxRequestsFor(*mode, switches);
    const std::vector<std::uint32_t> requests(sequence.begin(), sequence.end());
    if (!requests.empty() && !outlet_.notify(requests)) {
      return Fail(error, "\\\\.\\PwrAuxDrv did not take the floor's requests");
    }
    if (!kqd::WriteDwordValue(outlet_.modeRoot, outlet_.modeKey.c_str(), outlet_.modeValue.c_str(), *mode)) {
      return Fail(error, "cannot write the stored mode");
    }
    return true;
  }

 private:
  Source source_;
  std::vector<trace::Row> rows_;
  FloorOutlet outlet_;
  std::vector<std::optional<kqd::UsageMode>> publications_;  // per row
  kqd::SlateToggleTracker slateToggle_;
  size_t next_ = 0;
};

}  // namespace

std::unique_ptr<InputFeed> MakeFloorFeed(Source source, std::vector<trace::Row> rows, FloorOutlet outlet) {
  return std::make_unique<FloorFeed>(source, std::move(rows), std::move(outlet));
}

}  // namespace kqdtb::replay
