// CDriverModeSource with a real controller, the driver double behind
// "\\.\DAVODIRA" and the sibling service's "Type2" in the prefix's registry.

#include "sources/driver_mode_source.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>

#include "doubles/davodira/davodira_client.h"
#include "doubles/davodira/davodira_contract.h"
#include "mode/mode_event.h"
#include "mode/mode_store.h"
#include "mode/zarn_mode_controller.h"
#include "support/event_states.h"
#include "support/registry_backup.h"
#include "support/type2_flips.h"
#include "support/wait_until.h"
#include "win/unique_handle.h"

namespace {

using namespace std::chrono_literals;
namespace davodira = kqdtb::davodira;
using kqd::CDriverModeSource;
using kqd::win::UniqueHandleNull;
using kqd::win::UniqueScHandle;

constexpr DWORD kQueryLimitMs = 10000;
// How long a change that must be ignored is given to show up anyway.
constexpr auto kQuietPeriod = 400ms;

std::size_t QueryCount() {
  const auto record = davodira::ReadRecord();
  return record ? record->entries.size() : 0;
}

// True when the driver is asked no more than `queries` times during the period.
bool QuietFor(std::chrono::milliseconds period, std::size_t queries = 0) {
  return !kqdtest::WaitUntil([&] { return QueryCount() > queries; }, period);
}

// Identifiers of this process's threads, to see the watch thread come and go.
std::set<DWORD> ThreadIds() {
  std::set<DWORD> ids;
  const UniqueHandleNull snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
  }
  return ids;
}

// Starts the watch and returns the thread that it added.
std::set<DWORD> StartWatchThread(CDriverModeSource& source) {
  const std::set<DWORD> before = ThreadIds();
  source.StartWatch();
  std::set<DWORD> added;
  for (DWORD id : ThreadIds()) {
    if (before.count(id) == 0) added.insert(id);
  }
  EXPECT_FALSE(added.empty()) << "no watch thread";
  return added;
}

bool Ended(const std::set<DWORD>& threads) {
  return kqdtest::WaitUntil([&] {
    for (DWORD id : ThreadIds()) {
      if (threads.count(id) != 0) return false;
    }
    return true;
  });
}

// Processor time that the threads have used so far.
std::chrono::milliseconds CpuTime(const std::set<DWORD>& threads) {
  ULONGLONG total = 0;  // 100 ns units
  for (DWORD id : threads) {
    const UniqueHandleNull thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!thread || !::GetThreadTimes(thread.get(), &created, &exited, &kernel, &user)) continue;
    total += (ULONGLONG{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime) +
             (ULONGLONG{user.dwHighDateTime} << 32 | user.dwLowDateTime);
  }
  return std::chrono::milliseconds(total / 10000);
}

// StopWatch waits without a time-out; the test does not. `whileStopping` runs on
// this thread once StopWatch has been called on another.
bool StopsWithin(CDriverModeSource& source, std::chrono::seconds limit,
                 const std::function<void()>& whileStopping = [] {}) {
  auto stopped = std::async(std::launch::async, [&] { source.StopWatch(); });
  whileStopping();
  if (stopped.wait_for(limit) == std::future_status::ready) return true;
  // A hung watch thread would use the source after the test: end the process.
  std::fprintf(stderr, "StopWatch did not return within %lld s\n", static_cast<long long>(limit.count()));
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), 3);
  return false;
}

// Unloads the driver double for a scope, so that "\\.\DAVODIRA" does not exist.
class DriverUnloaded {
 public:
  DriverUnloaded() {
    scm_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (scm_) service_.reset(::OpenServiceW(scm_.get(), DAVODIRA_SERVICE_NAME, SERVICE_START | SERVICE_STOP));
    SERVICE_STATUS status{};
    unloaded_ = service_ && ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status) &&
                kqdtest::WaitUntil([] { return !davodira::IsPresent(); });
  }
  ~DriverUnloaded() {
    if (service_) ::StartServiceW(service_.get(), 0, nullptr);
    EXPECT_TRUE(kqdtest::WaitUntil(davodira::IsPresent)) << "the double did not come back";
  }
  bool unloaded() const { return unloaded_; }

 private:
  UniqueScHandle scm_;
  UniqueScHandle service_;
  bool unloaded_ = false;
};

class DriverSource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(davodira::IsPresent()) << "the davodira fixture installs the driver double";
    ASSERT_TRUE(davodira::SetHold(false));
    ASSERT_TRUE(davodira::SetFail(false));
    ASSERT_TRUE(davodira::SetAnswer(0x00020001));
    ASSERT_TRUE(davodira::WriteType2(0));
    ASSERT_TRUE(davodira::Clear());
    // Stands in for the broadcaster's watcher, so that signals can be seen.
    modeEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, kqd::kModeChangeEventName));
    ASSERT_TRUE(modeEvent_.valid());
    ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another watcher owns EventModeChange";
  }

  bool Signalled(DWORD waitMs = 0) { return ::WaitForSingleObject(modeEvent_.get(), waitMs) == WAIT_OBJECT_0; }

  // A started source whose Probe found mode 1, with its signal taken.
  std::unique_ptr<CDriverModeSource> StartedSource() {
    auto source = std::make_unique<CDriverModeSource>(controller_);
    EXPECT_EQ(source->Probe(), 1);
    EXPECT_TRUE(Signalled());
    watchThread_ = StartWatchThread(*source);
    return source;
  }

  // Goes on from a watch thread that waits with the value known.
  void WaitUntilWatching() {
    ASSERT_TRUE(davodira::Clear());  // Probe's request
    ASSERT_TRUE(kqdtest::FlipType2UntilAsked()) << "the watch thread never asked the driver";
    ASSERT_TRUE(Signalled(kQueryLimitMs));
    ASSERT_TRUE(davodira::Clear());
  }

  // Values and keys first: the controller stores "Mode" = 0 as it is built.
  kqdtest::RegistryBackup modeBackup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  kqdtest::RegistryBackup type2Backup_{HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, {L"Type2", L"Other"}};
  kqd::CZarnModeController controller_{kqd::ModeSourceFactory{}};
  UniqueHandleNull modeEvent_;
  std::set<DWORD> watchThread_;
};

TEST_F(DriverSource, Probe_FollowsTheDriversAnswerAndTheHeldMode) {
  const struct {
    const char* label;
    kqd::UsageMode held;
    std::uint32_t answer;
    bool fail;
    int probe;
    kqd::UsageMode mode;
  } cases[] = {
      {"laptop, format 1", 0, 0x00010001, false, 1, 1},
      {"tablet, format 2", 0, 0x00020003, false, 1, 2},
      {"second folded posture, format 4", 0, 0x00040005, false, 1, 4},
      {"driver mode 0", 0, 0x00020000, false, 0, 0},
      {"format 1 has no code 5", 0, 0x00010005, false, 0, 0},
      {"an unknown answer clears a held mode", 3, 0x00050001, false, 0, 0},
      {"failed request, nothing held", 0, 0x00020001, true, 0, 0},
      {"failed request keeps the held mode", 3, 0x00020001, true, 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(davodira::SetAnswer(c.answer));
    ASSERT_TRUE(davodira::SetFail(c.fail));
    ASSERT_TRUE(davodira::Clear());
    controller_.SetMode(c.held);
    {
      CDriverModeSource source(controller_);
      EXPECT_EQ(source.Probe(), c.probe);
    }
    EXPECT_EQ(controller_.GetMode(), c.mode);
    EXPECT_EQ(Signalled(), c.probe == 1) << "signalled exactly when Probe returns 1";

    const auto record = davodira::ReadRecord();
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->entries.size(), 1u) << "one request per probe";
    EXPECT_EQ(record->entries[0].failed, c.fail);
    EXPECT_EQ(record->entries[0].inputLength, 0u);
    EXPECT_EQ(record->entries[0].outputLength, 4u);
  }
}

TEST_F(DriverSource, Probe_WithoutTheDevice_LeavesTheHeldModeDeciding) {
  DriverUnloaded unloaded;
  ASSERT_TRUE(unloaded.unloaded()) << "could not unload the double";
  {
    CDriverModeSource source(controller_);
    EXPECT_EQ(source.Probe(), 0);
    EXPECT_EQ(controller_.GetMode(), 0u);
    EXPECT_FALSE(Signalled());
  }
  controller_.SetMode(2);
  CDriverModeSource source(controller_);
  EXPECT_EQ(source.Probe(), 1);
  EXPECT_EQ(controller_.GetMode(), 2u);
  EXPECT_TRUE(Signalled());
}

TEST_F(DriverSource, Watch_EachFlipOfBit29AsksAgainAndSignals) {
  auto source = StartedSource();
  WaitUntilWatching();

  const struct {
    std::uint32_t answer;
    bool fail;
    kqd::UsageMode mode;
  } steps[] = {
      {0x00020004, false, 3},
      {0x00030003, false, 2},
      {0x00020005, true, 2},   // the driver fails: the mode stays, the signal still goes
      {0x00010005, false, 0},  // an answer that maps to 0 is stored too
  };
  std::size_t queries = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.answer);
    ASSERT_TRUE(davodira::SetAnswer(step.answer));
    ASSERT_TRUE(davodira::SetFail(step.fail));
    ASSERT_TRUE(davodira::FlipType2().has_value());
    const auto record = davodira::WaitForEntries(++queries, kQueryLimitMs);
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->entries.size(), queries);
    EXPECT_EQ(record->entries.back().failed, step.fail);
    EXPECT_TRUE(Signalled(kQueryLimitMs));
    EXPECT_EQ(controller_.GetMode(), step.mode);
  }
  {
    // A flip while the driver is still being asked, before the thread watches again,
    // is not lost.
    SCOPED_TRACE("a flip during the query");
    ASSERT_TRUE(davodira::SetAnswer(0x00020001));
    ASSERT_TRUE(davodira::SetHold(true));
    ASSERT_TRUE(davodira::FlipType2().has_value());
    ASSERT_TRUE(kqdtest::WaitUntil([] {
      const auto record = davodira::ReadRecord();
      return record && record->held == 1;
    })) << "the query did not reach the driver";
    ASSERT_TRUE(davodira::SetAnswer(0x00020004));
    ASSERT_TRUE(davodira::FlipType2().has_value());
    ASSERT_TRUE(davodira::SetHold(false));
    queries += 2;
    const auto record = davodira::WaitForEntries(queries, kQueryLimitMs);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->entries.size(), queries) << "the flip during the query was lost";
    EXPECT_TRUE(Signalled(kQueryLimitMs));
    EXPECT_TRUE(kqdtest::WaitUntil([&] { return controller_.GetMode() == 3u; })) << controller_.GetMode();
  }
  // Between changes the thread sleeps in its wait: it registers again after every wake.
  const auto busy = CpuTime(watchThread_);
  EXPECT_TRUE(QuietFor(kQuietPeriod, queries));
  EXPECT_LT(CpuTime(watchThread_) - busy, kQuietPeriod / 8) << "the watch thread spins";
  EXPECT_TRUE(StopsWithin(*source, 10s));
  EXPECT_EQ(QueryCount(), queries);
}

TEST_F(DriverSource, Watch_ChangesThatKeepBit29AreIgnored) {
  auto source = StartedSource();
  WaitUntilWatching();
  const DWORD current = davodira::ReadType2().value();
  const std::wstring subkey = std::wstring(DAVODIRA_NOTIFICATION_KEY) + L"\\Sub";

  const struct {
    const char* label;
    std::function<void()> change;
  } changes[] = {
      {"the same value again", [&] { davodira::WriteType2(current); }},
      {"every other bit of Type2", [&] { davodira::WriteType2(current ^ 0xDFFFFFFF); }},
      {"another value", [] { kqdtest::SetDword(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, L"Other", 0x20000000); }},
      {"a subkey and its value", [&] { kqdtest::SetDword(HKEY_LOCAL_MACHINE, subkey, L"Type2", 0x20000000); }},
      {"the subkey removed", [&] { kqdtest::DeleteKeyTree(HKEY_LOCAL_MACHINE, subkey); }},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.label);
    c.change();
    EXPECT_TRUE(QuietFor(kQuietPeriod)) << "no request for this change";
    EXPECT_FALSE(Signalled());
  }

  // Still watching: the next flip is seen, once.
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(Signalled(kQueryLimitMs));
  EXPECT_EQ(davodira::WaitForEntries(1, kQueryLimitMs).value().entries.size(), 1u);
  EXPECT_TRUE(StopsWithin(*source, 10s));
  EXPECT_EQ(QueryCount(), 1u);
}

// The thread is held where it waits while "Type2" flips and the stop arrives, so
// that it finds both when it goes on: one that looked at "Type2" or asked the
// driver after the stop would show. (Windows and Wine satisfy no wait of a
// suspended thread, so its events stay signalled until it is resumed.)
TEST_F(DriverSource, StopWatch_WhileWaiting_EndsTheThreadWithoutAsking) {
  const auto eventsBefore = kqdtest::EventStates();
  auto source = StartedSource();
  WaitUntilWatching();
  const auto ownEvents = kqdtest::EventsAdded(eventsBefore, kqdtest::EventStates());
  ASSERT_EQ(ownEvents.size(), 2u) << "the stop event and the watch's notification event";
  // Registering the notification again resets its event: then the thread waits, or
  // is about to.
  ASSERT_TRUE(kqdtest::WaitUntil([&] { return kqdtest::SignalledCount(ownEvents) == 0; }));
  ASSERT_EQ(watchThread_.size(), 1u);
  const UniqueHandleNull thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, *watchThread_.begin()));
  ASSERT_TRUE(thread.valid());
  ASSERT_NE(::SuspendThread(thread.get()), static_cast<DWORD>(-1));
  ASSERT_TRUE(davodira::FlipType2().has_value());

  EXPECT_TRUE(StopsWithin(*source, 10s, [&] {
    EXPECT_TRUE(kqdtest::WaitUntil([&] { return kqdtest::SignalledCount(ownEvents) == 2; }))
        << "the flip and the stop did not both arrive";
    ::ResumeThread(thread.get());
  }));
  EXPECT_TRUE(Ended(watchThread_));
  EXPECT_EQ(QueryCount(), 0u) << "the driver was asked after the stop";
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(QuietFor(kQuietPeriod)) << "nobody watches any more";
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(controller_.GetMode(), 1u);
}

TEST_F(DriverSource, Watch_WithoutAReadableType2_EndsAtOnceAndKeepsTheMode) {
  const struct {
    const char* label;
    std::function<void()> arrange;
  } cases[] = {
      {"no Notification key", [] { davodira::DeleteNotificationKey(); }},
      {"no Type2 value", [] { kqdtest::DeleteValue(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, L"Type2"); }},
      {"Type2 longer than 4 bytes",
       [] {
         const ULONGLONG wide = 0x20000000;
         kqdtest::SetValue(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, L"Type2", REG_QWORD, &wide, sizeof(wide));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(davodira::WriteType2(0));
    c.arrange();
    ASSERT_TRUE(davodira::SetAnswer(0x00020003));
    ASSERT_TRUE(davodira::Clear());
    {
      CDriverModeSource source(controller_);
      ASSERT_EQ(source.Probe(), 1);
      EXPECT_TRUE(Signalled());
      // The thread may be gone before it can be seen: wait until no thread is left
      // beyond those that ran before the start.
      const std::set<DWORD> before = ThreadIds();
      source.StartWatch();
      EXPECT_TRUE(kqdtest::WaitUntil([&] {
        for (DWORD id : ThreadIds()) {
          if (before.count(id) == 0) return false;
        }
        return true;
      })) << "the watch thread ends by itself";

      ASSERT_TRUE(davodira::WriteType2(0));
      ASSERT_TRUE(davodira::FlipType2().has_value());
      EXPECT_TRUE(StopsWithin(source, 5s));
    }
    EXPECT_EQ(QueryCount(), 1u) << "only Probe asked";
    EXPECT_FALSE(Signalled());
    EXPECT_EQ(controller_.GetMode(), 2u);
  }
}

// The sibling service's key goes away under the watch: nothing more is asked, also
// when the key comes back, and the watch still stops at once.
TEST_F(DriverSource, Watch_KeyDeletedWhileWatching_AsksNothingMore) {
  auto source = StartedSource();
  WaitUntilWatching();
  ASSERT_TRUE(davodira::DeleteNotificationKey());
  EXPECT_TRUE(QuietFor(kQuietPeriod));
  ASSERT_TRUE(davodira::WriteType2(0));
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(QuietFor(kQuietPeriod)) << "the handle is to the deleted key";
  EXPECT_FALSE(Signalled());
  EXPECT_TRUE(StopsWithin(*source, 10s));
  EXPECT_EQ(controller_.GetMode(), 1u);
}

// A source freed with its watch still running stops the thread first.
TEST_F(DriverSource, Destruction_WithTheWatchRunning_EndsTheThread) {
  auto source = StartedSource();
  WaitUntilWatching();
  auto destroyed = std::async(std::launch::async, [&] { source.reset(); });
  ASSERT_EQ(destroyed.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(Ended(watchThread_));
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(QuietFor(kQuietPeriod));
}

}  // namespace

namespace {

// The source as the controller's last choice, with the real broadcaster: the stored
// "Mode" follows the driver on every flip, and nothing else is sent.
class DriverSourceInController : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(davodira::IsPresent());
    ASSERT_TRUE(davodira::SetFail(false));
    ASSERT_TRUE(davodira::WriteType2(0));
    ASSERT_TRUE(davodira::Clear());
  }

  static std::optional<DWORD> StoredMode() {
    return kqdtest::GetDword(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, L"Mode");
  }

  kqdtest::RegistryBackup modeBackup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  kqdtest::RegistryBackup type2Backup_{HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, {L"Type2"}};
};

TEST_F(DriverSourceInController, Selected_StoresTheFirstAnswerThenEachFlip) {
  ASSERT_TRUE(davodira::SetAnswer(0x00020004));
  const DWORD unknown = 0;
  kqdtest::SetValue(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, L"Mode", REG_DWORD, &unknown, sizeof(unknown));
  kqd::ModeSourceFactory sources;
  sources.driver = [](kqd::CZarnModeController& c) { return std::make_unique<CDriverModeSource>(c); };
  kqd::CZarnModeController controller(std::move(sources));
  controller.RequestStart();
  ASSERT_TRUE(kqdtest::WaitUntil([&] { return controller.GetSourceKind() == kqd::kSourceDriver; }));
  EXPECT_EQ(controller.GetMode(), 3u);
  EXPECT_TRUE(kqdtest::WaitUntil([&] { return controller.GetSwitches() == kqd::BroadcastSwitches{0, 0, 0}; }));

  // The driver's first answer is stored without waiting for a flip.
  EXPECT_TRUE(kqdtest::WaitUntil([] { return StoredMode() == 3u; })) << "the first answer was not stored";

  ASSERT_TRUE(davodira::SetAnswer(0x00020003));
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(kqdtest::WaitUntil([] { return StoredMode() == 2u; }));
  EXPECT_EQ(controller.GetMode(), 2u);

  controller.RequestStop();
  ASSERT_TRUE(kqdtest::WaitUntil([] {
    HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, kqd::kModeChangeEventName);
    if (event != nullptr) ::CloseHandle(event);
    return event == nullptr;
  })) << "the sources and the broadcaster stop";
  const std::size_t queries = QueryCount();
  ASSERT_TRUE(davodira::FlipType2().has_value());
  EXPECT_TRUE(QuietFor(kQuietPeriod, queries)) << "the watch ended with the sources";
}

}  // namespace
