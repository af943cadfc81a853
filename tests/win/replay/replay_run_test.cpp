// Whole replays against a scripted feed: a stand-in for the service writes the
// stored mode (in a scratch key) and "sends" energy requests as each input arrives;
// and the floor feed, the replayer publishing in the service's place.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "trace/replay/floor_feed.h"
#include "trace/replay/replay_clock.h"
#include "trace/replay/replay_run.h"
#include "support/registry_backup.h"
#include "trace/comparison.h"

namespace {

namespace rp = kqdtb::replay;
namespace tr = kqdtb::trace;

// Publishes each input's value at once, as mode and as one energy request.
class ScriptedFeed final : public rp::InputFeed {
 public:
  explicit ScriptedFeed(std::wstring key) : key_(std::move(key)) {}

  bool Ready(std::string* error) override {
    if (!ready) *error = "not ready";
    return ready;
  }
  bool Prepare(const rp::PlannedInput&, std::string*) override {
    ++prepared;
    return true;
  }
  bool Deliver(const rp::PlannedInput& input, std::uint64_t* at, std::string* error) override {
    if (deliveries == failAt) {
      *error = "the double went away";
      return false;
    }
    ++deliveries;
    *at = rp::ReplayClock::Now();
    if (input.value) {
      kqdtest::SetDword(HKEY_CURRENT_USER, key_, L"Mode", *input.value);
      energy.push_back({rp::ReplayClock::Now(), *input.value});
    }
    return true;
  }

  bool ready = true;
  size_t failAt = SIZE_MAX;
  size_t prepared = 0;
  size_t deliveries = 0;
  std::vector<rp::Stamped> energy;

 private:
  std::wstring key_;
};

class ReplayRun : public testing::Test {
 protected:
  void SetUp() override {
    base_ = L"Software\\KqdTestbed\\ReplayRun" + std::to_wstring(::GetCurrentProcessId());
    key_ = base_ + L"\\TarsiMode";
    kqdtest::DeleteKeyTree(HKEY_CURRENT_USER, base_);
    kqdtest::SetDword(HKEY_CURRENT_USER, key_, L"Mode", 2);
    feed_ = std::make_unique<ScriptedFeed>(key_);
    setup_.source = kqd::kSourceWmi;
    setup_.settleMs = 100;
    setup_.feed = feed_.get();
    setup_.modeRoot = HKEY_CURRENT_USER;
    setup_.modeKey = key_;
    setup_.devices.clear = [this](std::string*) {
      ++clears_;
      // Left over from before the replay; it must not show in the record.
      feed_->energy.push_back({rp::ReplayClock::Now(), 11});
      return true;
    };
    setup_.devices.read = [this](rp::Observations* seen, std::string*) {
      seen->energy = feed_->energy;
      seen->slate.push_back({feed_->energy.back().time + 1, 0});
      return true;
    };
  }
  void TearDown() override { kqdtest::DeleteKeyTree(HKEY_CURRENT_USER, base_); }

  static std::vector<std::pair<tr::EventKind, std::uint32_t>> Published(const tr::Record& record) {
    std::vector<std::pair<tr::EventKind, std::uint32_t>> out;
    for (const tr::Event& event : record.events) {
      if (event.kind != tr::EventKind::Input) out.emplace_back(event.kind, event.value.value_or(999));
    }
    return out;
  }

  std::wstring base_;
  std::wstring key_;
  std::unique_ptr<ScriptedFeed> feed_;
  rp::RunSetup setup_;
  int clears_ = 0;
};

TEST_F(ReplayRun, InputsLandOnTheirTimesAndWhatFollowsIsRecorded) {
  setup_.inputs = {{0, 120, 90, 1, 1}, {60, 300, 100, 3, 3}, {61, 300, 100, 3, 3}, {150, 355, 90, 2, 2}};
  const rp::RunResult result = rp::RunReplay(setup_);
  ASSERT_EQ(result.outcome, rp::RunOutcome::Done) << result.error;
  EXPECT_EQ(clears_, 1);
  EXPECT_EQ(result.record.source, "wmi");
  EXPECT_EQ(result.record.startMode, 2u);
  EXPECT_EQ(result.delivered, 4u);

  std::vector<const tr::Event*> inputs;
  for (const tr::Event& event : result.record.events) {
    if (event.kind == tr::EventKind::Input) inputs.push_back(&event);
  }
  ASSERT_EQ(inputs.size(), setup_.inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    // Never early; late by far less than a sensor's debounce even on a busy machine.
    EXPECT_GE(inputs[i]->timeMs, setup_.inputs[i].timeMs);
    EXPECT_LT(inputs[i]->timeMs, setup_.inputs[i].timeMs + 20);
    EXPECT_EQ(inputs[i]->a, setup_.inputs[i].a);
    EXPECT_EQ(inputs[i]->value, setup_.inputs[i].value);
  }
  EXPECT_GE(result.spanMs, 150);
  EXPECT_LT(result.maxLateMs, 20);

  // Two writes 1 ms apart may show as one wake; the modes keep their order.
  std::vector<std::uint32_t> modes;
  for (const auto& [kind, value] : Published(result.record)) {
    if (kind == tr::EventKind::Mode && (modes.empty() || modes.back() != value)) modes.push_back(value);
  }
  EXPECT_EQ(modes, (std::vector<std::uint32_t>{1, 3, 2}));
  EXPECT_EQ(result.energyRequests, 4u) << "the request from before the replay is left out";
  EXPECT_EQ(result.slateWrites, 1u);
  EXPECT_EQ(result.modeWrites, static_cast<size_t>(std::count_if(
                                   result.record.events.begin(), result.record.events.end(),
                                   [](const tr::Event& e) { return e.kind == tr::EventKind::Mode; })));
  for (size_t i = 1; i < result.record.events.size(); ++i) {
    EXPECT_LE(result.record.events[i - 1].timeMs, result.record.events[i].timeMs) << i;
  }
}

TEST_F(ReplayRun, AFeedThatIsNotReadyRefusesBeforeAnything) {
  feed_->ready = false;
  setup_.inputs = {{0, 1, 2, 1, 1}};
  const rp::RunResult result = rp::RunReplay(setup_);
  EXPECT_EQ(result.outcome, rp::RunOutcome::Refused);
  EXPECT_EQ(result.error, "not ready");
  EXPECT_EQ(clears_, 0);
  EXPECT_EQ(feed_->prepared, 0u);
}

TEST_F(ReplayRun, DevicesThatCannotBeClearedOrReadRefuse) {
  setup_.inputs = {{0, 1, 2, 1, 1}};
  setup_.devices.slateState = [] { return std::optional<std::uint32_t>(); };
  rp::RunResult result = rp::RunReplay(setup_);
  EXPECT_EQ(result.outcome, rp::RunOutcome::Refused);
  EXPECT_EQ(result.error, "cannot read the system's slate state");

  setup_.devices.clear = [](std::string* error) {
    *error = "no driver";
    return false;
  };
  result = rp::RunReplay(setup_);
  EXPECT_EQ(result.outcome, rp::RunOutcome::Refused);
  EXPECT_EQ(result.error, "no driver");
  EXPECT_EQ(feed_->deliveries, 0u);
}

TEST_F(ReplayRun, AFailedDeliveryStopsAndKeepsWhatHappenedSoFar) {
  feed_->failAt = 2;
  setup_.inputs = {{0, 1, 2, 1, 1}, {20, 1, 2, 3, 3}, {40, 1, 2, 4, 4}, {60, 1, 2, 1, 1}};
  const rp::RunResult result = rp::RunReplay(setup_);
  EXPECT_EQ(result.outcome, rp::RunOutcome::Failed);
  EXPECT_EQ(result.error, "the double went away");
  EXPECT_EQ(result.delivered, 2u);
  EXPECT_EQ(feed_->prepared, 3u) << "nothing after the failure";
  size_t inputs = 0;
  for (const tr::Event& event : result.record.events) inputs += event.kind == tr::EventKind::Input;
  EXPECT_EQ(inputs, 3u) << "the failed attempt is recorded too";
  EXPECT_EQ(result.energyRequests, 2u);
}

// Each source's rules decide what the floor publishes (the sensor's posture rule
// holds at the third row, the provider is asked again, the driver sends no
// requests), at the input that ends the burst and in the broadcaster's order;
// the comparison that judges the service finds it as expected.
TEST_F(ReplayRun, TheFloorPublishesWhatTheSourceWouldAtOnce) {
  // Far enough apart for every row to be a burst of its own, even for the sensor.
  constexpr double kStep = kqd::kSensorDebounceMs + tr::kTimingToleranceMs + 10;
  const tr::Trace trace{
      {{0, 120, 90, 1, {}}, {kStep, 270, 100, 3, {}}, {2 * kStep, 270, 100, 3, {}}, {3 * kStep, 355, 90, 2, {}}},
      true,
      false};
  const struct {
    kqdtb::Source source;
    std::vector<std::uint32_t> requests;
    size_t toggles;  // to laptop at mode 1, to slate at mode 3; the driver source leaves it alone
  } cases[] = {{kqd::kSourceSensorApi, {9, 1, 8, 3, 8, 2}, 2},
               {kqd::kSourceWmi, {9, 1, 8, 3, 8, 3, 8, 2}, 2},
               {kqd::kSourceDriver, {}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(kqd::ModeSourceName(c.source));
    kqdtest::SetDword(HKEY_CURRENT_USER, key_, L"Mode", 2);
    std::vector<rp::Stamped> sent;
    // The machine starts in slate mode, so the first (laptop) burst toggles it.
    std::uint32_t state = 0;
    std::vector<rp::Stamped> toggles, states;
    rp::FloorOutlet outlet;
    outlet.modeRoot = HKEY_CURRENT_USER;
    outlet.modeKey = key_;
    outlet.notify = [&](const std::vector<std::uint32_t>& r) {
      for (const std::uint32_t value : r) sent.push_back({rp::ReplayClock::Now(), value});
      return true;
    };
    outlet.slateState = [&] { return std::optional<std::uint32_t>(state); };
    outlet.toggleSlate = [&] {
      state = state == 0 ? 1 : 0;
      toggles.push_back({rp::ReplayClock::Now(), 0});
      states.push_back({toggles.back().time, state});
      return true;
    };
    const auto floor = rp::MakeFloorFeed(c.source, trace.rows, outlet);
    setup_.source = c.source;
    setup_.feed = floor.get();
    setup_.devices.slateState = outlet.slateState;
    setup_.devices.read = [&](rp::Observations* seen, std::string*) {
      seen->energy = sent;
      seen->slate = toggles;
      seen->slateStates = states;
      return true;
    };
    std::string error;
    const auto inputs = rp::PlanInputs(trace, c.source, &error);
    ASSERT_TRUE(inputs) << error;
    setup_.inputs = *inputs;
    const rp::RunResult result = rp::RunReplay(setup_);
    ASSERT_EQ(result.outcome, rp::RunOutcome::Done) << result.error;

    std::vector<std::uint32_t> requests;
    for (const rp::Stamped& stamp : sent) requests.push_back(stamp.value);
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(toggles.size(), c.toggles);
    const auto comparison = tr::Compare(trace, result.record, &error);
    ASSERT_TRUE(comparison) << error;
    for (const std::string& difference : comparison->differences) ADD_FAILURE() << difference;
    EXPECT_TRUE(comparison->AsExpected());
    EXPECT_TRUE(comparison->slateJudged);
    for (const tr::BurstResult& burst : comparison->bursts) {
      if (!burst.expected.published || !burst.toModeMs) continue;
      // Nothing waits: far less than the sensor's debounce even on a busy machine.
      EXPECT_LT(*burst.toModeMs, kqd::kSensorDebounceMs / 4) << burst.expected.lastInputMs;
      if (burst.toEnergyMs) {
        EXPECT_LE(*burst.toEnergyMs, *burst.toModeMs) << "requests before Mode";
      }
    }
    EXPECT_EQ(kqdtest::GetDword(HKEY_CURRENT_USER, key_, L"Mode"), 2u);
  }
}

}  // namespace
