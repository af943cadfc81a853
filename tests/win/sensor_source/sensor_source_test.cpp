// CSensorManagerEvents and CSensorEvents against the Sensor API double, which
// calls the sinks from its own long-lived thread as the platform does.

#include "sources/sensor_manager_events.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "core/mode_source_table.h"
#include "mode/mode_store.h"
#include "mode/zarn_mode_controller.h"
#include "doubles/sensors/sensors_double.h"
#include "sources/sensor_events.h"
#include "sources/sensor_ids.h"
#include "support/com_classes.h"
#include "support/registry_backup.h"
#include "support/wait_until.h"
#include "win/unique_handle.h"

namespace {

using namespace std::chrono_literals;
using kqdtest::WaitUntil;
namespace sn = kqdtb::sensors;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kDebounce{kqd::kSensorDebounceMs};
constexpr auto kTimerSlack = 10ms;  // a wait may end this much early under Wine

size_t ThreadsOfThisProcess() {
  const kqd::win::UniqueHandleNull snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  size_t count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  return count;
}

sn::SensorConfig Model(const wchar_t* model) {
  sn::SensorConfig config;
  config.model = std::wstring(model);
  return config;
}

class SensorSource : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.Enter()));
    ASSERT_EQ(com_.Register(kqd::kClsidSensorManager, sn::ClassFactory()), S_OK);
    sn::Reset();
    baseline_ = sn::LiveObjects();
    controller_ = std::make_unique<kqd::CZarnModeController>(kqd::ModeSourceFactory{});
    source_ = std::make_unique<kqd::CSensorManagerEvents>(*controller_);
  }

  void TearDown() override {
    source_.reset();
    controller_.reset();
    sn::Reset();
    EXPECT_EQ(sn::LiveObjects(), baseline_) << "a reference to the double was not released";
  }

  void ConnectAndAttach() {
    ASSERT_EQ(source_->Connect(), S_OK);
    ASSERT_EQ(source_->IsSensorFound(), 1);
    ASSERT_EQ(source_->Attach(), S_OK);
  }

  void Deliver() { ASSERT_TRUE(sn::WaitForDelivery(sn::DeliverReport())); }

  void Report(float a, float b) {
    sn::SetAngles(0, a, b);
    Deliver();
  }

  float Row(size_t row) { return source_->sink()->Values()[row].value; }
  kqd::UsageMode Mode() { return controller_->GetMode(); }

  kqdtest::RegistryBackup backup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  long baseline_ = 0;
  std::unique_ptr<kqd::CZarnModeController> controller_;
  std::unique_ptr<kqd::CSensorManagerEvents> source_;
  kqdtest::ComClasses com_;
};

TEST_F(SensorSource, AttachedSensor_ReportSetsTheModeAndDetachUnregistersEverything) {
  sn::Plug(0);
  ConnectAndAttach();
  EXPECT_EQ(sn::ManagerSinks(), 1u);
  EXPECT_EQ(sn::SensorSinks(), 1u);

  Report(300, 100);
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 3; })) << "mode " << Mode();
  EXPECT_EQ(sn::ReportResults(), std::vector<HRESULT>{S_OK});
  Report(5, 0);  // folded fully back counts as 360
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 2; })) << "mode " << Mode();

  EXPECT_EQ(source_->Detach(), S_OK);
  EXPECT_EQ(sn::ManagerSinks(), 0u);
  EXPECT_EQ(sn::SensorSinks(), 0u);
}

// Reports half a debounce apart, alternating two postures so that any evaluation
// before the end would change the mode, then silence: one evaluation, a debounce
// after the last report. Each time is read before its report goes out, so the
// bounds hold however late the machine runs.
TEST_F(SensorSource, ABurstOfReports_IsEvaluatedOnceTheHingeHasBeenQuietForTheDebounce) {
  sn::Plug(0);
  ConnectAndAttach();

  auto next = Clock::now();
  Clock::time_point lastSent{};
  Clock::duration widestGap{};
  bool changedDuringBurst = false;
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_until(next);  // paces the input: the behaviour under test is timed
    next += kDebounce / 2;
    const bool last = i == 9;
    sn::SetAngles(0, last || i % 2 == 1 ? 300.0f : 120.0f, last || i % 2 == 1 ? 100.0f : 90.0f);
    const auto sent = Clock::now();
    if (i > 0) widestGap = std::max(widestGap, sent - lastSent);
    lastSent = sent;
    changedDuringBurst = changedDuringBurst || Mode() != 0;
    Deliver();
  }
  ASSERT_TRUE(WaitUntil([&] { return Mode() == 3; }, 5s)) << "mode " << Mode();
  const auto after = Clock::now() - lastSent;
  // Were the rule to run again, it would take the mode from 0 to 3 once more.
  controller_->SetMode(0);

  // A gap of a whole debounce under load lets the rule run early, rightly.
  if (widestGap < kDebounce - kTimerSlack) {
    EXPECT_FALSE(changedDuringBurst) << "the rule ran before the burst ended";
  }
  EXPECT_GE(after, kDebounce - kTimerSlack);
  EXPECT_LE(after, kDebounce + 800ms);
  EXPECT_FALSE(WaitUntil([&] { return Mode() != 0; }, 3 * kDebounce)) << "the rule ran a second time";
}

TEST_F(SensorSource, EachVariantTypeOfAFieldIsConvertedOrLeavesTheRow) {
  struct Case {
    const char* label;
    sn::SensorValue value;
    float expected;  // the row after the report; 42 is the value before it
  };
  const Case cases[] = {
      {"r4 as is", sn::SensorValue::R4(12.5f), 12.5f},
      {"ui4 as unsigned", {VT_UI4, 4000000000u}, 4000000000.0f},
      {"uint as unsigned", {VT_UINT, 7u}, 7.0f},
      {"int as signed", {VT_INT, static_cast<uint32_t>(-5)}, -5.0f},
      {"i4 leaves the row", {VT_I4, 300u}, 42.0f},
      {"a missing field leaves the row", {VT_EMPTY, 0}, 42.0f},
      {"r8 bits leave the row", {VT_R8, 1u}, 42.0f},
  };
  sn::Plug(0);
  ConnectAndAttach();
  float marker = 1;
  for (const auto& c : cases) {
    sn::SetValue(0, kqd::kSensorRowA, sn::SensorValue::R4(42));
    Deliver();
    sn::SetValue(0, kqd::kSensorRowA, c.value);
    sn::SetValue(0, 0, sn::SensorValue::R4(++marker));  // the rows around it still fill
    Deliver();
    EXPECT_EQ(Row(kqd::kSensorRowA), c.expected) << c.label;
    EXPECT_EQ(Row(0), marker) << c.label;
  }
}

TEST_F(SensorSource, ModelTest_IsExactAndCaseSensitive) {
  struct Case {
    const char* label;
    sn::SensorConfig config;
    HRESULT connect;
    int found;
  };
  sn::SensorConfig noModel;
  noModel.model.reset();
  sn::SensorConfig otherType;
  otherType.custom = false;
  const Case cases[] = {
      {"the model", Model(L"Tavmir Zarn"), S_OK, 1},
      {"one more character", Model(L"Tavmir Zarn!"), E_FAIL, 0},
      {"other letter case", Model(L"tavmir zarn"), E_FAIL, 0},
      {"a prefix only", Model(L"Tavmir"), E_FAIL, 0},
      {"empty", Model(L""), E_FAIL, 0},
      {"no model property", noModel, sn::kNoPropertyResult, 0},
      {"right model, other sensor type", otherType, S_OK, 0},
  };
  for (const auto& c : cases) {
    sn::Reset();
    sn::Plug(0, c.config);
    kqd::CSensorManagerEvents source(*controller_);
    EXPECT_EQ(source.Connect(), c.connect) << c.label;
    EXPECT_EQ(source.IsSensorFound(), c.found) << c.label;
  }
}

TEST_F(SensorSource, SecondMatchingSensor_IsFoundAfterAWrongOne) {
  sn::Plug(0, Model(L"Tavmir Zarn "));
  sn::Plug(1);
  ConnectAndAttach();
  sn::SetAngles(0, 100, 0);
  sn::SetAngles(1, 300, 200);
  Deliver();
  EXPECT_EQ(sn::ReportResults(), std::vector<HRESULT>{S_OK}) << "only the matching sensor has the sink";
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 4; })) << "mode " << Mode();
}

TEST_F(SensorSource, ReportsOfASensorThatIsNotReady_AreIgnored) {
  sn::Plug(0);
  ConnectAndAttach();
  Report(200, 100);
  ASSERT_TRUE(WaitUntil([&] { return Mode() == 3; }));

  sn::SetState(0, SENSOR_STATE_INITIALIZING);
  Report(100, 0);
  EXPECT_EQ(Row(kqd::kSensorRowA), 200.0f);
  sn::SetState(0, SENSOR_STATE_READY);
  Report(100, 0);
  EXPECT_EQ(Row(kqd::kSensorRowA), 100.0f);
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 1; }));
}

TEST_F(SensorSource, EmptyCollection_ConnectsWithoutASensorAndLeavesNothingRegistered) {
  EXPECT_EQ(source_->Connect(), S_OK);
  EXPECT_EQ(source_->IsSensorFound(), 0);
  EXPECT_EQ(source_->Attach(), E_FAIL);
  EXPECT_EQ(source_->Detach(), E_POINTER);
  EXPECT_EQ(sn::ManagerSinks(), 1u) << "still waiting for its sensor";
  source_.reset();
  EXPECT_EQ(sn::ManagerSinks(), 0u) << "a destroyed source must not stay the manager's sink";
}

TEST_F(SensorSource, LateSensor_TakesOverAsTheControllersSource) {
  ASSERT_EQ(source_->Connect(), S_OK);
  ASSERT_EQ(source_->IsSensorFound(), 0);
  EXPECT_EQ(controller_->GetSourceKind(), kqd::kSourceNone);

  sn::Plug(0, Model(L"tavmir zarn"));
  EXPECT_EQ(source_->IsSensorFound(), 0);
  EXPECT_EQ(controller_->GetSourceKind(), kqd::kSourceNone);

  sn::Plug(1);
  EXPECT_EQ(sn::EnterResults(), (std::vector<HRESULT>{S_OK, S_OK}));
  EXPECT_EQ(source_->IsSensorFound(), 1);
  EXPECT_EQ(controller_->GetSourceKind(), kqd::kSourceSensorApi);
  EXPECT_EQ(sn::SensorSinks(), 1u);
  sn::SetAngles(1, 360, 0);
  Deliver();
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 2; }));
  EXPECT_EQ(source_->Detach(), S_OK);
}

TEST_F(SensorSource, SecondArrival_KeepsOneEvaluationThreadAndDetachStopsIt) {
  ASSERT_EQ(source_->Connect(), S_OK);  // the double's thread exists from here on
  const size_t before = ThreadsOfThisProcess();
  sn::Plug(0);
  ASSERT_EQ(sn::EnterResults(), std::vector<HRESULT>{S_OK});
  EXPECT_EQ(ThreadsOfThisProcess(), before + 1);

  sn::Reannounce(0);
  ASSERT_EQ(sn::EnterResults(), (std::vector<HRESULT>{S_OK, S_OK}));
  EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
  EXPECT_EQ(sn::SensorSinks(), 1u);

  Report(100, 0);
  EXPECT_TRUE(WaitUntil([&] { return Mode() == 1; }));
  EXPECT_EQ(source_->Detach(), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return ThreadsOfThisProcess() == before; }))
      << ThreadsOfThisProcess() << " threads, " << before << " before the sensor came";
}

TEST_F(SensorSource, Detach_DoesNotWaitForACallbackThreadThePlatformKeeps) {
  sn::Plug(0);
  ConnectAndAttach();
  Report(100, 0);
  ASSERT_NE(sn::CallbackThreadId(), 0u);

  std::atomic<bool> done{false};
  HRESULT result = E_FAIL;
  std::thread detach([&] {
    result = source_->Detach();
    done = true;
  });
  const bool returned = WaitUntil([&] { return done.load(); }, 20s);
  if (!returned) sn::Reset();  // lets nothing hang; the test has failed already
  detach.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(result, S_OK);

  const kqd::win::UniqueHandleNull callback(::OpenThread(SYNCHRONIZE, FALSE, sn::CallbackThreadId()));
  ASSERT_TRUE(callback);
  EXPECT_EQ(::WaitForSingleObject(callback.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "still alive";
}

TEST_F(SensorSource, Detach_WaitsForAReportBeingRead) {
  sn::Plug(0);
  ConnectAndAttach();
  sn::SetAngles(0, 100, 0);
  sn::HoldReports(true);
  const uint64_t ticket = sn::DeliverReport();
  ASSERT_TRUE(WaitUntil([] { return sn::ReportIsHeld(); }));

  std::atomic<bool> done{false};
  std::thread detach([&] {
    source_->Detach();
    done = true;
  });
  const bool removed = WaitUntil([] { return sn::SensorSinks() == 0; });
  EXPECT_TRUE(removed) << "the sink is taken back before the report ends";
  if (removed) {
    EXPECT_FALSE(WaitUntil([&] { return done.load(); }, 300ms)) << "returned while the report was being read";
  }
  sn::HoldReports(false);
  EXPECT_TRUE(sn::WaitForDelivery(ticket));
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  detach.join();
  EXPECT_EQ(sn::ReportResults(), std::vector<HRESULT>{S_OK});
}

TEST_F(SensorSource, ASinkThePlatformStillHolds_IsClosedOnceTheSourceIsGone) {
  sn::RetainRemovedSinks(true);
  sn::Plug(0);
  ConnectAndAttach();
  Report(100, 0);
  ASSERT_TRUE(WaitUntil([&] { return Mode() == 1; }));
  EXPECT_EQ(source_->Detach(), S_OK);
  source_.reset();

  controller_->SetMode(0);
  const auto late = sn::DeliverToRetainedSinks();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0], kqd::kSensorSinkClosed);
  EXPECT_EQ(Mode(), 0u);
}

TEST_F(SensorSource, SensorThatLeaves_KeepsTheLastMode) {
  sn::Plug(0);
  ConnectAndAttach();
  Report(200, 200);
  ASSERT_TRUE(WaitUntil([&] { return Mode() == 4; }));
  sn::Unplug(0);
  Deliver();  // the sensor is no longer listed: nothing more arrives
  EXPECT_EQ(sn::ReportsDelivered(), 1u);
  EXPECT_EQ(Mode(), 4u);
  EXPECT_EQ(source_->Detach(), S_OK);
}

}  // namespace
