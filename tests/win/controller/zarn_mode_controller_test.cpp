// The controller's source chain and lifecycle with scripted sources, the real
// broadcaster and the energy-management driver double.

#include "mode/zarn_mode_controller.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <ostream>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "doubles/pwraux/pwraux_client.h"
#include "fake_sources.h"
#include "mode/mode_event.h"
#include "mode/mode_store.h"
#include "support/debug_capture.h"
#include "support/registry_backup.h"
#include "support/stdout_capture.h"
#include "support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using namespace kqdtest;
namespace pwraux = kqdtb::pwraux;
using Calls = std::vector<std::string>;

bool ModeEventExists() {
  HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, kqd::kModeChangeEventName);
  if (event == nullptr) return false;
  ::CloseHandle(event);
  return true;
}

std::vector<uint32_t> SentCodes() {
  std::vector<uint32_t> codes;
  if (auto record = pwraux::ReadRecord()) {
    for (const auto& e : record->entries) {
      if (e.ok()) codes.push_back(e.code);
    }
  }
  return codes;
}

std::optional<DWORD> StoredMode() { return GetDword(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, L"Mode"); }

class Controller : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pwraux::IsPresent()) << "the energy-management driver double is not installed";
    ASSERT_TRUE(pwraux::FailAll(false));
    ASSERT_TRUE(pwraux::Clear());
    ASSERT_FALSE(ModeEventExists()) << "another watcher owns EventModeChange";
  }

  std::unique_ptr<kqd::CZarnModeController> Make(const SourceScript& script) {
    return std::make_unique<kqd::CZarnModeController>(ScriptedSources(script, log_));
  }
  // The chain has run once the last factory asked for was called.
  bool WaitForCall(const std::string& call, size_t count = 1) {
    return WaitUntil([&] { return log_.Count(call) >= count; });
  }

  RegistryBackup backup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  SourceLog log_;
};

// Construction stores "unknown"; a mode key that refuses the write is said on the
// debugger output, once, and construction goes on.
TEST_F(Controller, Construction_StoresUnknownModeAndStartsNothing) {
  const std::string kWriteFailed = "<kqd>: faild to set KQD mode value.\r\n";
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "the key refuses KEY_SET_VALUE" : "the key is writable");
    SetDword(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, L"Mode", 7);
    std::optional<SetValueDenied> denied;
    if (refused) {
      denied.emplace(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath);
      ASSERT_TRUE(denied->active()) << "the key's DACL could not be changed";
    }
    DebugCapture debug;
    auto controller = Make({.wmiPresent = true, .wmiAnswers = true, .wmiMode = 2});
    EXPECT_EQ(controller->GetMode(), 0u);
    EXPECT_EQ(controller->GetSwitches(), (kqd::BroadcastSwitches{1, 1, 1}));
    controller.reset();
    // Lines arrive in order: once the marker is in, every earlier line is too.
    const std::string marker = "kqd-test: controller gone\n";
    ::OutputDebugStringA(marker.c_str());
    ASSERT_TRUE(debug.WaitFor(marker));
    if (refused) {
      EXPECT_EQ(debug.OwnLines(), (std::vector<std::string>{kWriteFailed, marker}));
      EXPECT_EQ(StoredMode(), 7u);
    } else {
      EXPECT_EQ(debug.OwnLines(), std::vector<std::string>{marker});
      EXPECT_EQ(StoredMode(), 0u);
    }
    EXPECT_TRUE(log_.Calls().empty()) << "sources start only on request";
    EXPECT_TRUE(SentCodes().empty());
  }
}

// A thread stuck in a single-threaded apartment: the controller says so, goes on,
// and leaves the apartment it did not make alone when it goes.
TEST_F(Controller, ComUnavailable_ReportsAndKeepsTheCallersApartment) {
  std::string printed;
  HRESULT afterwards = S_OK;
  std::thread([&] {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
      StdoutCapture capture;
      ASSERT_TRUE(capture.active());
      auto controller = Make({});
      controller->RequestStart();
      ASSERT_TRUE(WaitForCall("driver.new"));
      controller.reset();
      printed = capture.Text();
    }
    // The retry undid one of the two; S_FALSE shows the other is still there.
    afterwards = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
  EXPECT_EQ(printed, "Failed init COM at CZarnModeController.\r\n") << "one \\n line, in text mode";
  EXPECT_EQ(afterwards, S_FALSE);
}

TEST_F(Controller, NoSource_NoBroadcasterNoEventNothingSent) {
  auto controller = Make({});
  controller->RequestStart();
  ASSERT_TRUE(WaitForCall("driver.new"));
  EXPECT_EQ(log_.Calls(), (Calls{"wmi.new", "sensor.new", "driver.new"}));
  EXPECT_FALSE(WaitUntil(ModeEventExists, 300ms)) << "no watcher may exist";
  EXPECT_EQ(controller->GetSourceKind(), kqd::kSourceNone);
  controller.reset();
  EXPECT_TRUE(SentCodes().empty()) << "neither attach nor detach without a source";
}

TEST_F(Controller, WmiAnswers_WinsAttachesAndAsksForAFreshQuery) {
  auto controller = Make({.wmiPresent = true, .wmiAnswers = true, .wmiMode = 2, .sensorPresent = true,
                          .driverPresent = true, .driverAnswers = true});
  controller->RequestStart();
  ASSERT_TRUE(WaitForCall("wmi.RequestQuery"));
  EXPECT_EQ(log_.Calls(), (Calls{"wmi.new", "wmi.Query", "wmi.StartThread", "wmi.RequestQuery"}))
      << "the sensor and the driver are not even created";
  EXPECT_EQ(controller->GetSourceKind(), kqd::kSourceWmi);
  EXPECT_EQ(controller->GetMode(), 2u);
  EXPECT_TRUE(WaitUntil(ModeEventExists)) << "the watcher creates it as it starts";
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10}));

  controller->RequestStop();
  ASSERT_TRUE(WaitForCall("wmi.~"));
  EXPECT_TRUE(WaitUntil([] { return !ModeEventExists(); })) << "the broadcaster goes after the sources";
  controller.reset();
  EXPECT_EQ(log_.Count("wmi.Stop"), 1u);
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10, 11}));
}

TEST_F(Controller, WmiWithStoredMode_NoExtraQuery) {
  auto controller = Make({.wmiPresent = true, .wmiAnswers = true, .wmiMode = 1});
  SetDword(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, L"Mode", 3);
  controller->RequestStart();
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 1; }));
  controller.reset();
  EXPECT_EQ(log_.Count("wmi.RequestQuery"), 0u);
}

struct ChainCase {
  const char* label;
  SourceScript script;
  Calls startCalls;  // up to the selection
  kqd::ModeSourceKind kind;
  kqd::BroadcastSwitches switches;
  Calls stopCalls;  // what StopSources does, in order
  friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.label; }
};

class SourceChain : public Controller, public testing::WithParamInterface<ChainCase> {};

TEST_P(SourceChain, SelectsInOrderAndTearsDownInOrder) {
  const auto& c = GetParam();
  auto controller = Make(c.script);
  controller->RequestStart();
  ASSERT_TRUE(WaitForCall(c.startCalls.back()));
  const bool selected = c.kind != kqd::kSourceNone;
  if (selected) {
    ASSERT_TRUE(WaitUntil([] { return !SentCodes().empty(); }));
  }
  EXPECT_EQ(log_.Calls(), c.startCalls) << c.label;
  EXPECT_EQ(controller->GetSourceKind(), c.kind) << c.label;
  EXPECT_EQ(controller->GetSwitches(), c.switches) << c.label;

  controller->RequestStop();
  controller.reset();
  Calls all = c.startCalls;
  all.insert(all.end(), c.stopCalls.begin(), c.stopCalls.end());
  EXPECT_EQ(log_.Calls(), all) << c.label;
  const std::vector<uint32_t> attachDetach{10, 11};
  EXPECT_EQ(SentCodes(), selected ? attachDetach : std::vector<uint32_t>{}) << c.label;
}

const ChainCase kChain[] = {
    {"silent WMI falls to the sensor",
     {.wmiPresent = true, .sensorPresent = true},
     {"wmi.new", "wmi.Query", "wmi.Stop", "wmi.~", "sensor.new", "sensor.Connect", "sensor.IsSensorFound",
      "sensor.Attach"},
     kqd::kSourceSensorApi, {1, 1, 1}, {"sensor.Detach", "sensor.~"}},
    {"sensor connect fails: driver answers",
     {.sensorPresent = true, .sensorConnect = E_FAIL, .driverPresent = true, .driverAnswers = true, .driverMode = 1},
     {"wmi.new", "sensor.new", "sensor.Connect", "driver.new", "driver.Probe", "driver.StartWatch"},
     kqd::kSourceDriver, {0, 0, 0}, {"sensor.Detach", "sensor.~", "driver.StopWatch", "driver.~"}},
    {"sensor not found: no attach",
     {.sensorPresent = true, .sensorFound = 0, .driverPresent = true},
     {"wmi.new", "sensor.new", "sensor.Connect", "sensor.IsSensorFound", "driver.new", "driver.Probe"},
     kqd::kSourceNone, {1, 1, 1}, {"sensor.Detach", "sensor.~", "driver.StopWatch", "driver.~"}},
    {"sensor attach fails",
     {.sensorPresent = true, .sensorAttach = E_ACCESSDENIED},
     {"wmi.new", "sensor.new", "sensor.Connect", "sensor.IsSensorFound", "sensor.Attach", "driver.new"},
     kqd::kSourceNone, {1, 1, 1}, {"sensor.Detach", "sensor.~"}},
    {"driver without a mode stays without a thread",
     {.driverPresent = true},
     {"wmi.new", "sensor.new", "driver.new", "driver.Probe"},
     kqd::kSourceNone, {1, 1, 1}, {"driver.StopWatch", "driver.~"}},
};

INSTANTIATE_TEST_SUITE_P(Sources, SourceChain, testing::ValuesIn(kChain));

// The control thread takes pending requests lowest event first: stop, start, quit,
// apply. So a redundant request followed by one of a higher event is known to have
// been taken, in its state, once the later one has shown.
TEST_F(Controller, RepeatedRequests_AreIgnoredUntilTheStateChanges) {
  auto controller = Make({.driverPresent = true, .driverAnswers = true, .driverMode = 1});
  controller->RequestStop();  // stopped already: nothing
  controller->RequestStart();
  ASSERT_TRUE(WaitUntil([&] { return controller->SourcesRunning(); }));
  EXPECT_EQ(log_.Calls(), (Calls{"wmi.new", "sensor.new", "driver.new", "driver.Probe", "driver.StartWatch"}));

  controller->RequestStart();  // running already: nothing
  std::thread([&] { controller->ApplySource(); }).join();  // shows by attaching again
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 2; }));
  EXPECT_EQ(log_.Count("driver.new"), 1u) << "a start while running made the sources again";
  EXPECT_EQ(log_.Count("driver.StopWatch"), 0u);

  controller->RequestStop();
  ASSERT_TRUE(WaitUntil([&] { return !controller->SourcesRunning(); }));
  controller->RequestStop();  // stopped already: nothing
  controller->RequestStart();
  ASSERT_TRUE(WaitUntil([&] { return controller->SourcesRunning(); }));
  EXPECT_EQ(log_.Count("driver.new"), 2u);
  EXPECT_EQ(log_.Count("driver.StopWatch"), 1u);
  controller.reset();
  EXPECT_EQ(log_.Count("driver.StopWatch"), 2u);
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10, 10, 11, 10, 11}));
}

TEST_F(Controller, DestroyRightAfterStop_StopsSourcesExactlyOnce) {
  auto controller = Make({.driverPresent = true, .driverAnswers = true, .driverMode = 3});
  controller->RequestStart();
  ASSERT_TRUE(WaitForCall("driver.StartWatch"));
  controller->RequestStop();
  controller.reset();
  EXPECT_EQ(log_.Count("driver.StopWatch"), 1u);
  EXPECT_EQ(log_.Count("driver.~"), 1u);
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10, 11}));
}

TEST_F(Controller, LateSensorFromAnotherThread_CreatesOneBroadcasterAndAttaches) {
  auto controller = Make({.sensorPresent = true, .sensorFound = 0});
  controller->RequestStart();
  ASSERT_TRUE(WaitUntil([&] { return controller->SourcesRunning(); })) << "an arrival during the chain attaches twice";
  std::thread callback([&] {
    controller->SetSourceKind(kqd::kSourceSensorApi);
    controller->ApplySource();
  });
  callback.join();
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 1; }));
  EXPECT_TRUE(WaitUntil(ModeEventExists));
  EXPECT_EQ(controller->GetSwitches(), (kqd::BroadcastSwitches{1, 1, 1}));
  // A second arrival attaches again through the same broadcaster.
  std::thread([&] { controller->ApplySource(); }).join();
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 2; }));
  controller.reset();
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10, 10, 11}));
}

TEST_F(Controller, ApplyWhileStopped_IsDropped) {
  auto controller = Make({});
  controller->SetSourceKind(kqd::kSourceSensorApi);
  std::thread([&] { controller->ApplySource(); }).join();
  controller.reset();
  EXPECT_TRUE(SentCodes().empty());
}

TEST_F(Controller, ModeChange_ReachesDriverAndRegistryThroughTheBroadcaster) {
  auto controller = Make({.wmiPresent = true, .wmiAnswers = true, .wmiMode = 1});
  controller->RequestStart();
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 1; }));
  ASSERT_TRUE(WaitUntil(ModeEventExists)) << "a signal before the watcher runs is dropped";
  controller->SetMode(2);
  kqd::SignalModeChange();
  ASSERT_TRUE(WaitUntil([] { return SentCodes().size() == 3; }));
  EXPECT_EQ(SentCodes(), (std::vector<uint32_t>{10, 8, 2}));
  EXPECT_TRUE(WaitUntil([] { return StoredMode() == 2u; }));
}

}  // namespace
