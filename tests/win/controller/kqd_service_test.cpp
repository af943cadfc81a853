// The service object's hooks through the framework: prerequisite services polled in
// Wine's real service control manager, controllers made with scripted sources.

#include "service/kqd_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <taskschd.h>

#include <algorithm>

#include "fake_sources.h"
#include "mode/mode_store.h"
#include "support/com_classes.h"
#include "support/fake_scm.h"
#include "support/registry_backup.h"
#include "support/wait_until.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/unique_handle.h"

namespace {

using namespace std::chrono_literals;
using namespace kqdtest;
using kqd::win::UniqueScHandle;

// How far the median pause between prerequisite polls may exceed the designed
// 100 ms on a busy machine (measured under load: docs/benchmarks.md).
constexpr auto kPollMedianMargin = 25ms;

// Puts a prerequisite service into the wanted state in the prefix (and waits for it).
bool SetServiceRunning(PCWSTR name, bool running) {
  const UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueScHandle service(
      manager ? ::OpenServiceW(manager.get(), name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
  if (!service) return false;
  SERVICE_STATUS status{};
  if (running) {
    ::StartServiceW(service.get(), 0, nullptr);
  } else {
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  }
  return WaitUntil([&] { return kqd::IsServiceRunning(name) == running; }, 20s);
}

class ProbeKqdService : public FakeScm<kqd::CKqdService> {
 public:
  explicit ProbeKqdService(SourceLog& log) : log_(log) {}
  std::atomic<int> controllersMade{0};
  std::atomic<int> winmgmtPolls{0};
  std::atomic<int> schedulePolls{0};
  // -1: the service as the service control manager has it; 0 or 1: stopped or running.
  std::atomic<int> winmgmt{-1};
  std::atomic<int> schedule{-1};
  // Polls without the pause between them, to count a whole wait quickly.
  std::atomic<bool> instantPolls{false};

  // From each "Schedule" poll to the "Winmgmt" poll after it: the pause between
  // two polls, without the time Wine's service manager takes to answer one.
  std::vector<std::chrono::steady_clock::duration> Pauses() {
    std::lock_guard lock(timesLock_);
    return pauses_;
  }

 protected:
  // A driver source that never answers: alive exactly as long as the controller's sources run.
  std::unique_ptr<kqd::CZarnModeController> CreateController() override {
    ++controllersMade;
    return std::make_unique<kqd::CZarnModeController>(ScriptedSources({.driverPresent = true}, log_));
  }

  bool QueryServiceRunning(PCWSTR name) override {
    const bool isSchedule = ::_wcsicmp(name, L"Schedule") == 0;
    ++(isSchedule ? schedulePolls : winmgmtPolls);
    {
      std::lock_guard lock(timesLock_);
      const auto now = std::chrono::steady_clock::now();
      if (!isSchedule && lastSchedulePoll_) pauses_.push_back(now - *lastSchedulePoll_);
      lastSchedulePoll_.reset();
      if (isSchedule) lastSchedulePoll_ = now;
    }
    const int state = (isSchedule ? schedule : winmgmt).load();
    if (state >= 0) return state == 1;
    return kqd::CKqdService::QueryServiceRunning(name);
  }

  void PausePoll() override {
    if (!instantPolls) kqd::CKqdService::PausePoll();
  }

 private:
  SourceLog& log_;
  std::mutex timesLock_;
  std::optional<std::chrono::steady_clock::time_point> lastSchedulePoll_;
  std::vector<std::chrono::steady_clock::duration> pauses_;
};

// The Task Scheduler double answers in this process: every call to it is logged.
class InProcessTaskScheduler {
 public:
  InProcessTaskScheduler() {
    EXPECT_TRUE(SUCCEEDED(com_.Enter()));
    EXPECT_EQ(com_.Register(CLSID_TaskScheduler, kqdtb::taskschd::ClassFactory()), S_OK);
    EXPECT_TRUE(kqdtb::taskschd::SetUnreachable(kqdtb::taskschd::kReachable));
    EXPECT_TRUE(kqdtb::taskschd::ClearStore());
    kqdtb::taskschd::ClearCallLog();
  }
  ~InProcessTaskScheduler() { kqdtb::taskschd::ClearStore(); }
  static long Registrations() {
    const auto calls = kqdtb::taskschd::CallLog();
    return std::count(calls.begin(), calls.end(), std::wstring(L"ITaskFolder::RegisterTaskDefinition"));
  }

 private:
  kqdtest::ComClasses com_;
};

// The worker's whole life with the display: first start, off, on again, then stop.
// `afterFirstStart` runs once the first controller's sources have started.
void DisplayOffOnThenStop(SourceLog& log, const std::function<void()>& afterFirstStart) {
  ASSERT_TRUE(WaitUntil([&] { return log.Count("driver.new") == 1; }));
  afterFirstStart();
  Display(0);
  ASSERT_TRUE(WaitUntil([&] { return log.Count("driver.~") == 1; }));
  Display(1);
  ASSERT_TRUE(WaitUntil([&] { return log.Count("driver.new") == 2; }));
  Control(SERVICE_CONTROL_STOP);
}

class ServiceObject : public testing::Test {
 protected:
  void SetUp() override {
    CheckedServiceName(L"KQD");
    // A Windows 10 20H2 machine: no uninstall task, only "Winmgmt" is waited for.
    SetDword(HKEY_LOCAL_MACHINE, kqd::kVersionKeyPath, L"CurrentMajorVersionNumber", 10);
    SetString(HKEY_LOCAL_MACHINE, kqd::kVersionKeyPath, L"ReleaseId", L"2009");
  }

  RegistryBackup versions_{HKEY_LOCAL_MACHINE, kqd::kVersionKeyPath, {L"CurrentMajorVersionNumber", L"ReleaseId"}};
  RegistryBackup mode_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  SourceLog log_;
};

// On 20H2 with "Winmgmt" running: each start polls once and never touches the task.
TEST_F(ServiceObject, DisplayOffAndOn_DestroyAndRecreateTheController) {
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", true));
  InProcessTaskScheduler scheduler;
  ProbeKqdService service(log_);
  // Display on while a controller exists: the same one is asked to start again.
  service.script = [&] {
    DisplayOffOnThenStop(log_, [&] {
      EXPECT_EQ(service.winmgmtPolls.load(), 1);
      Display(1);
    });
  };
  ASSERT_TRUE(service.Run());
  EXPECT_EQ(service.controllersMade.load(), 2);
  EXPECT_EQ(log_.Count("driver.~"), 2u) << "the final stop destroyed the second controller";
  EXPECT_EQ(service.Reports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(service.winmgmtPolls.load(), 3) << "one poll for each of the three starts";
  EXPECT_EQ(service.schedulePolls.load(), 0);
  EXPECT_TRUE(kqdtb::taskschd::CallLog().empty()) << "the Task Scheduler was used";
}

TEST_F(ServiceObject, StopWhileWaitingForWinmgmt_ReturnsWithinAPollAndMakesNoController) {
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", false));
  ProbeKqdService service(log_);
  std::chrono::steady_clock::duration stopTook{};
  service.script = [&] {
    std::this_thread::sleep_for(350ms);  // OnStart is polling by now
    const auto before = std::chrono::steady_clock::now();
    Control(SERVICE_CONTROL_STOP);
    stopTook = std::chrono::steady_clock::now() - before;
  };
  ASSERT_TRUE(service.Run());
  EXPECT_LT(stopTook, 1s) << "one 100 ms poll plus the final stop, with room for a slow machine";
  EXPECT_EQ(service.controllersMade.load(), 0);
  EXPECT_EQ(service.Reports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceObject, WinmgmtStartingLate_IsPickedUpByThePoll) {
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", false));
  ProbeKqdService service(log_);
  service.script = [&] {
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(service.controllersMade.load(), 0);
    ASSERT_TRUE(SetServiceRunning(L"winmgmt", true));
    EXPECT_TRUE(WaitUntil([&] { return service.controllersMade.load() == 1; }, 5s));
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  EXPECT_EQ(service.controllersMade.load(), 1);
}

// Before 1903 the service also waits for "Schedule" and registers the uninstall task
// on every start.
TEST_F(ServiceObject, OlderSystem_RegistersTheUninstallTaskOnEveryStart) {
  namespace ts = kqdtb::taskschd;
  DeleteValue(HKEY_LOCAL_MACHINE, kqd::kVersionKeyPath, L"CurrentMajorVersionNumber");
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", true));
  ASSERT_TRUE(SetServiceRunning(L"Schedule", true));
  InProcessTaskScheduler scheduler;

  ProbeKqdService service(log_);
  service.script = [&] { DisplayOffOnThenStop(log_, [&] { EXPECT_EQ(scheduler.Registrations(), 1); }); };
  ASSERT_TRUE(service.Run());
  EXPECT_EQ(scheduler.Registrations(), 2) << "registered again by the second start";
  EXPECT_EQ(ts::ListTasks(), (std::vector<std::wstring>{L"\\Tavmir\\Tavmir KQD Uninstall Task"}));
  EXPECT_EQ(ts::LiveObjects(), 0) << "every Task Scheduler reference was released";
}

// With "Winmgmt" running and "Schedule" stopped, an older system goes on polling
// both, "Schedule" only after "Winmgmt" answered, and makes no controller.
TEST_F(ServiceObject, OlderSystem_ScheduleStopped_PollsUntilItRuns) {
  DeleteValue(HKEY_LOCAL_MACHINE, kqd::kVersionKeyPath, L"CurrentMajorVersionNumber");
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", true));
  InProcessTaskScheduler scheduler;
  ProbeKqdService service(log_);
  service.schedule = 0;
  service.script = [&] {
    ASSERT_TRUE(WaitUntil([&] { return service.Pauses().size() >= 9; }, 20s));
    // 100 ms apart: each pause at least that (less the clock's rounding), their
    // median from above too.
    auto pauses = service.Pauses();
    EXPECT_GE(*std::min_element(pauses.begin(), pauses.end()), 99ms);
    std::nth_element(pauses.begin(), pauses.begin() + pauses.size() / 2, pauses.end());
    EXPECT_LE(pauses[pauses.size() / 2], 100ms + kPollMedianMargin) << "the median pause between polls";
    EXPECT_EQ(service.controllersMade.load(), 0);
    EXPECT_EQ(scheduler.Registrations(), 0);
    service.schedule = 1;
    EXPECT_TRUE(WaitUntil([&] { return service.controllersMade.load() == 1; }, 5s));
    EXPECT_EQ(service.winmgmtPolls.load(), service.schedulePolls.load()) << "Schedule is asked after Winmgmt";
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  EXPECT_EQ(service.controllersMade.load(), 1);
  EXPECT_EQ(scheduler.Registrations(), 1);
}

// "Winmgmt" never comes up: 1800 polls, then OnStart gives up without a controller
// and the service goes on running until it is stopped.
TEST_F(ServiceObject, WinmgmtNeverRunning_GivesUpAfter1800Polls) {
  ProbeKqdService service(log_);
  service.winmgmt = 0;
  service.instantPolls = true;
  service.script = [&] {
    ASSERT_TRUE(WaitUntil([&] { return service.winmgmtPolls.load() >= 1800; }, 20s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(service.winmgmtPolls.load(), 1800);
    EXPECT_EQ(service.controllersMade.load(), 0);
    EXPECT_EQ(service.Reports().back().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  EXPECT_EQ(service.controllersMade.load(), 0);
}

TEST(ServiceRunning, AnswersFromTheServiceControlManager) {
  EXPECT_FALSE(kqd::IsServiceRunning(L"NoSuchServiceKqd"));
  EXPECT_FALSE(kqd::IsServiceRunning(L""));
  ASSERT_TRUE(SetServiceRunning(L"winmgmt", true));
  EXPECT_TRUE(kqd::IsServiceRunning(L"winmgmt"));
  EXPECT_TRUE(kqd::IsServiceRunning(L"WINMGMT")) << "service names are case-insensitive";
}

}  // namespace
