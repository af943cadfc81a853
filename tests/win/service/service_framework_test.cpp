// The service framework driven as the service control manager would drive it, with
// the platform calls captured: status reports, power registrations, work queueing.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service_base.h"
#include "support/event_states.h"
#include "support/fake_scm.h"
#include "support/wait_until.h"
#include "win/unique_handle.h"

namespace {

using namespace std::chrono_literals;
using kqd::CServiceBase;
using kqdtest::Control;
using kqdtest::Display;
using kqdtest::FakeRegistration;
using kqdtest::PowerSetting;

constexpr auto kBound = 10s;  // generous: Wine under load is slow, a hang is the fault

class ProbeService : public kqdtest::FakeScm<CServiceBase> {
 public:
  explicit ProbeService(bool canPauseContinue = false)
      : FakeScm(kqdtest::CheckedServiceName(L"KQDPROBE"), true, true, canPauseContinue) {}

  std::vector<std::string> Hooks() {
    std::lock_guard lock(mutex_);
    return hooks_;
  }
  bool WaitForHooks(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return hooks_.size() >= count; });
  }

  // Holds the next OnStart until Release, so that requests pile up behind it.
  void HoldNextStart() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }

 protected:
  void OnStart() override { Hook("start"); }
  void OnStop() override { Hook("stop"); }

 private:
  void Hook(const char* name) {
    std::unique_lock lock(mutex_);
    if (std::string(name) == "start" && hold_) {
      held_ = true;
      changed_.notify_all();
      changed_.wait_for(lock, kBound, [&] { return !hold_; });
    }
    hooks_.emplace_back(name);
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> hooks_;
  bool hold_ = false;
  bool held_ = false;
};

// Stop signals the stop request before it sets the flag, so the worker may run one
// ordinary OnStop before the final one: both endings are correct.
void ExpectHooksThenFinalStop(const std::vector<std::string>& hooks, const std::vector<std::string>& before) {
  ASSERT_GE(hooks.size(), before.size() + 1);
  ASSERT_LE(hooks.size(), before.size() + 2);
  EXPECT_EQ(std::vector<std::string>(hooks.begin(), hooks.begin() + before.size()), before);
  for (size_t i = before.size(); i < hooks.size(); ++i) EXPECT_EQ(hooks[i], "stop") << "hook " << i;
}

struct Report {
  DWORD state, checkpoint, exitCode;
};

std::vector<Report> Summarise(const std::vector<SERVICE_STATUS>& reports) {
  std::vector<Report> out;
  for (const auto& r : reports) {
    EXPECT_EQ(r.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(r.dwControlsAccepted, 0xC5u);
    EXPECT_EQ(r.dwWaitHint, 0u);
    EXPECT_EQ(r.dwServiceSpecificExitCode, 0u);
    out.push_back({r.dwCurrentState, r.dwCheckPoint, r.dwWin32ExitCode});
  }
  return out;
}

void ExpectReports(const std::vector<SERVICE_STATUS>& actual, const std::vector<Report>& expected) {
  const auto got = Summarise(actual);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].state, expected[i].state) << "report " << i;
    EXPECT_EQ(got[i].checkpoint, expected[i].checkpoint) << "report " << i;
    EXPECT_EQ(got[i].exitCode, expected[i].exitCode) << "report " << i;
  }
}

TEST(ServiceFramework, StartThenStop_ReportsPendingCheckpointsAndRunsFinalStop) {
  ProbeService service;
  service.script = [&] {
    ASSERT_TRUE(service.WaitForHooks(1));
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  };
  ASSERT_TRUE(service.Run());

  // ctest runs each case in a fresh process, where the process-wide counter starts at 1.
  ExpectReports(service.Reports(), {{SERVICE_START_PENDING, 1, 0},
                                    {SERVICE_RUNNING, 0, 0},
                                    {SERVICE_STOP_PENDING, 2, 0},
                                    {SERVICE_STOPPED, 0, 0}});
  ExpectHooksThenFinalStop(service.Hooks(), {"start"});
  HANDLE stopped = ::OpenEventW(SYNCHRONIZE, FALSE, L"CServiceStopped");
  ASSERT_NE(stopped, nullptr);
  EXPECT_EQ(::WaitForSingleObject(stopped, 0), WAIT_OBJECT_0);
  ::CloseHandle(stopped);
}

TEST(ServiceFramework, ServiceMain_RegistersFourPowerSettingsInOrderWithTheStatusHandle) {
  ProbeService service;
  service.script = [&] { Control(SERVICE_CONTROL_STOP); };
  ASSERT_TRUE(service.Run());
  const auto registered = service.Registered();
  ASSERT_EQ(registered.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(IsEqualGUID(registered[i], kqd::kRegisteredPowerSettings[i])) << i;
  // GUID_CONSOLE_DISPLAY_STATE is the second one.
  const GUID display = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
  EXPECT_TRUE(IsEqualGUID(registered[1], display));
  EXPECT_TRUE(service.Unregistered().empty()) << "stop leaves the registrations alone";
}

TEST(ServiceFramework, Shutdown_UnregistersAllFourIncludingFailedThenReportsStoppedOnce) {
  ProbeService service;
  service.failRegistrationAt = 2;
  service.script = [&] {
    ASSERT_TRUE(service.WaitForHooks(1));
    Control(SERVICE_CONTROL_SHUTDOWN);
  };
  ASSERT_TRUE(service.Run());

  EXPECT_EQ(service.Unregistered(), (std::vector<HPOWERNOTIFY>{FakeRegistration(0), FakeRegistration(1),
                                                               nullptr, FakeRegistration(3)}));
  const auto reports = service.Reports();
  ASSERT_EQ(reports.size(), 3u);
  ExpectReports({reports.begin() + 2, reports.end()}, {{SERVICE_STOPPED, 0, 0}});
  ExpectHooksThenFinalStop(service.Hooks(), {"start"});
}

TEST(ServiceFramework, WorkerThatCannotBeQueued_ReportsStoppedWithTheError) {
  ProbeService service;
  service.queueError = ERROR_NOT_ENOUGH_MEMORY;
  ASSERT_TRUE(service.Run());
  const auto reports = service.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(reports[1].dwWin32ExitCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(reports[1].dwCheckPoint, 0u);
  EXPECT_TRUE(service.Hooks().empty());
}

TEST(ServiceFramework, HandlerThatCannotBeRegistered_ReportsNothing) {
  ProbeService service;
  service.failHandlerRegistration = true;
  ASSERT_TRUE(service.Run());
  EXPECT_TRUE(service.Reports().empty());
  EXPECT_TRUE(service.Registered().empty());
  EXPECT_TRUE(service.Hooks().empty());
}

TEST(ServiceFramework, DisplayOffOnDimmed_DriveTheHooksWithoutReports) {
  ProbeService service;
  service.script = [&] {
    ASSERT_TRUE(service.WaitForHooks(1));
    EXPECT_EQ(Display(0), static_cast<DWORD>(NO_ERROR));
    ASSERT_TRUE(service.WaitForHooks(2));
    Display(2);  // dimmed
    Display(1);
    ASSERT_TRUE(service.WaitForHooks(3));
    EXPECT_EQ(service.Reports().size(), 2u) << "display changes report nothing";
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  ExpectHooksThenFinalStop(service.Hooks(), {"start", "stop", "start"});
}

// The worker is held inside the first OnStart, so nothing takes a request: one that
// an ignored control made would still be set when the controls have returned.
TEST(ServiceFramework, IgnoredControls_ChangeNothing) {
  const auto before = kqdtest::EventStates();
  ProbeService service;
  const auto ownEvents = kqdtest::EventsAdded(before, kqdtest::EventStates());
  ASSERT_EQ(ownEvents.size(), 3u) << "the stopped event and the two request events";
  service.HoldNextStart();
  service.script = [&] {
    ASSERT_TRUE(service.WaitUntilHeld());
    ASSERT_EQ(kqdtest::SignalledCount(ownEvents), 0u) << "the start request was taken";
    const GUID unregistered = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    // Other settings with a display's payloads: off (0) and on (1).
    PowerSetting acDcOff(kqd::kRegisteredPowerSettings[0], 0);
    PowerSetting lidOn(kqd::kRegisteredPowerSettings[3], 1);
    PowerSetting sessionDisplayOff(kqd::kRegisteredPowerSettings[2], 0);
    PowerSetting unregisteredOff(unregistered, 0);
    PowerSetting displayOff(kqd::kRegisteredPowerSettings[1], 0);
    for (DWORD result : {Control(SERVICE_CONTROL_INTERROGATE), Control(SERVICE_CONTROL_SESSIONCHANGE, 5),
                         Control(0x80), Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &acDcOff),
                         Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &lidOn),
                         Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &sessionDisplayOff),
                         Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &unregisteredOff),
                         Control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, &displayOff),
                         Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr)}) {
      EXPECT_EQ(result, static_cast<DWORD>(NO_ERROR));
    }
    EXPECT_EQ(kqdtest::SignalledCount(ownEvents), 0u) << "an ignored control made a request";
    Display(0);
    EXPECT_EQ(kqdtest::SignalledCount(ownEvents), 1u) << "the display-off request does show";
    service.Release();
    ASSERT_TRUE(service.WaitForHooks(2));
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  ExpectHooksThenFinalStop(service.Hooks(), {"start", "stop"});
  const auto reports = Summarise(service.Reports());
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[1].state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(reports[2].state, static_cast<DWORD>(SERVICE_STOP_PENDING));
}

// Display requests made while OnStart is held: only the last one runs, so that
// detection ends as the display was left.
TEST(ServiceFramework, DisplayRequestsWhileStarting_LastOneRuns) {
  struct Case {
    std::vector<DWORD> states;
    const char* then;
  };
  const Case cases[] = {
      {{0, 1}, "start"},
      {{1, 0}, "stop"},
      {{0, 1, 0}, "stop"},
      {{1, 0, 0, 1}, "start"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.states));
    ProbeService service;
    service.HoldNextStart();
    service.script = [&] {
      ASSERT_TRUE(service.WaitUntilHeld());
      for (const DWORD state : c.states) Display(state);
      service.Release();
      ASSERT_TRUE(service.WaitForHooks(2));
      // The same request again as a fence: a hook run for an earlier request would
      // come before it.
      Display(c.states.back());
      ASSERT_TRUE(service.WaitForHooks(3));
      Control(SERVICE_CONTROL_STOP);
    };
    ASSERT_TRUE(service.Run());
    ExpectHooksThenFinalStop(service.Hooks(), {"start", c.then, c.then});
  }
}

TEST(ServiceFramework, StopWhileStartRequestPending_RunsNoFurtherStart) {
  ProbeService service;
  service.HoldNextStart();
  service.script = [&] {
    ASSERT_TRUE(service.WaitUntilHeld());
    Display(1);  // a start request waits behind the held OnStart
    auto stopping = std::async(std::launch::async, [] { Control(SERVICE_CONTROL_STOP); });
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!service.IsStopping() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(service.IsStopping());
    service.Release();
    ASSERT_EQ(stopping.wait_for(kBound), std::future_status::ready);
  };
  ASSERT_TRUE(service.Run());
  ExpectHooksThenFinalStop(service.Hooks(), {"start"});
  EXPECT_EQ(service.Reports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(ServiceFramework, PauseAndContinue_ReportPendingThenFinalState) {
  ProbeService service(true);
  service.script = [&] {
    ASSERT_TRUE(service.WaitForHooks(1));
    Control(SERVICE_CONTROL_PAUSE);
    Control(SERVICE_CONTROL_CONTINUE);
    Control(SERVICE_CONTROL_STOP);
  };
  ASSERT_TRUE(service.Run());
  const auto reports = service.Reports();
  ASSERT_EQ(reports.size(), 8u);
  const DWORD expected[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_PAUSE_PENDING, SERVICE_PAUSED,
                            SERVICE_CONTINUE_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
  for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].dwCurrentState, expected[i]) << i;
  EXPECT_EQ(reports[0].dwControlsAccepted, 0xC7u);
  // Pending states draw consecutive checkpoints; running and stopped carry 0.
  EXPECT_EQ(reports[3].dwCheckPoint, reports[2].dwCheckPoint + 1);
  EXPECT_EQ(reports[4].dwCheckPoint, reports[3].dwCheckPoint + 1);
  EXPECT_EQ(reports[5].dwCheckPoint, 0u);
}

TEST(ServiceFramework, StoppedEventNameTaken_ConstructionRaisesTheError) {
  kqdtest::CheckedServiceName(L"KQDPROBE");
  HANDLE squatter = ::CreateMutexW(nullptr, FALSE, L"CServiceStopped");
  ASSERT_NE(squatter, nullptr);
  try {
    ProbeService service;
    ADD_FAILURE() << "construction should fail";
  } catch (DWORD error) {
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  ::CloseHandle(squatter);
}

// "CServiceStopped" is a global name: another process may have made it and left it
// signalled. The stop must still wait for the worker's last OnStop.
TEST(ServiceFramework, StoppedEventLeftSignalled_StopStillWaitsForTheWorker) {
  kqdtest::CheckedServiceName(L"KQDPROBE");
  const kqd::win::UniqueHandleNull stale(::CreateEventW(nullptr, TRUE, TRUE, L"CServiceStopped"));
  ASSERT_TRUE(stale.valid());
  class HeldStopService : public kqdtest::FakeScm<CServiceBase> {
   public:
    HeldStopService() : FakeScm(L"KQDPROBE", true, true, false) {}
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inFinalStop{false};

   protected:
    void OnStop() override {
      if (!IsStopping()) return;
      inFinalStop = true;
      released.wait_for(kBound);
    }
  } service;
  auto stopped = [&] {
    const auto reports = service.Reports();
    return !reports.empty() && reports.back().dwCurrentState == SERVICE_STOPPED;
  };
  service.script = [&] {
    auto stopping = std::async(std::launch::async, [] { Control(SERVICE_CONTROL_STOP); });
    ASSERT_TRUE(kqdtest::WaitUntil([&] { return service.inFinalStop.load(); }));
    EXPECT_FALSE(kqdtest::WaitUntil(stopped, 500ms)) << "reported stopped while the worker still ran";
    service.release.set_value();
    ASSERT_EQ(stopping.wait_for(kBound), std::future_status::ready);
  };
  ASSERT_TRUE(service.Run());
  EXPECT_TRUE(stopped());
}

TEST(ServiceFramework, RunOutsideAServiceControlManager_FailsWith1063) {
  class ConsoleService : public CServiceBase {
   public:
    ConsoleService() : CServiceBase(L"KQDPROBE", true, true, false) {}
  } service;
  ::SetLastError(0xdeadbeef);
  EXPECT_FALSE(service.Run());
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

}  // namespace
