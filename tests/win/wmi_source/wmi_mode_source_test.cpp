// The WMI source with the WMI double in this process and a real controller.

#include "sources/wmi_mode_source.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wbemcli.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/mode_source_table.h"
#include "mode/mode_event.h"
#include "mode/mode_store.h"
#include "mode/zarn_mode_controller.h"
#include "support/com_classes.h"
#include "support/registry_backup.h"
#include "support/stdout_capture.h"
#include "support/wait_until.h"
#include "win/bstr.h"
#include "win/unique_handle.h"
#include "doubles/wmi/wmi_double.h"

namespace {

using namespace std::chrono_literals;
using kqd::CWmiModeSource;
using kqd::win::UniqueBstr;
using kqdtest::WaitUntil;
namespace wmi = kqdtb::wmi;

constexpr CLSID kClsidWbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
constexpr kqd::UsageMode kUntouched = 5;  // set before a call that must not store a mode

constexpr std::chrono::milliseconds kWindow{kqd::kWmiBurstWindowMs};
constexpr int64_t kWindowMicros = kqd::kWmiBurstWindowMs * 1000;
constexpr int64_t kEarlyMicros = 1000;  // a wait may end this much early under Wine
// Long enough after a publication for a second one, had there been one, to show.
constexpr auto kQuiet = kWindow + 190ms;

std::vector<wmi::RecordEntry> Queries() {
  std::vector<wmi::RecordEntry> queries;
  for (auto& entry : wmi::ReadRecord()) {
    if (entry.kind == "query") queries.push_back(std::move(entry));
  }
  return queries;
}

size_t Count(const std::vector<std::wstring>& log, const std::wstring& call) {
  return static_cast<size_t>(std::count(log.begin(), log.end(), call));
}

// Stands in for the broadcaster's watcher: owns "EventModeChange" and notes when
// each signal arrives, on the record's clock.
class ModeEventWatch {
 public:
  ModeEventWatch()
      : event_(::CreateEventW(nullptr, FALSE, FALSE, kqd::kModeChangeEventName)),
        stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        thread_([this] { Run(); }) {}
  ~ModeEventWatch() {
    ::SetEvent(stop_.get());
    thread_.join();
  }
  std::vector<uint64_t> Times() {
    std::lock_guard lock(lock_);
    return times_;
  }
  size_t Count() { return Times().size(); }

 private:
  void Run() {
    const HANDLE waits[] = {stop_.get(), event_.get()};
    while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      std::lock_guard lock(lock_);
      times_.push_back(wmi::NowMicros());
    }
  }
  kqd::win::UniqueHandleNull event_;
  kqd::win::UniqueHandleNull stop_;
  std::mutex lock_;
  std::vector<uint64_t> times_;
  std::thread thread_;
};

class WmiSource : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.Enter()));
    ASSERT_EQ(com_.Register(kClsidWbemLocator, wmi::LocatorFactory()), S_OK);
    ASSERT_TRUE(wmi::ResetConfig());
    ASSERT_TRUE(wmi::ClearRecord());
    wmi::ClearCallLog();
    wmi::OpenExecGate();
    ASSERT_EQ(wmi::LiveObjects(), 0) << "an earlier test leaked";
    HANDLE stray = ::OpenEventW(SYNCHRONIZE, FALSE, kqd::kModeChangeEventName);
    ASSERT_EQ(stray, nullptr) << "another watcher owns EventModeChange";
    controller_.SetMode(kUntouched);
  }

  void TearDown() override { wmi::OpenExecGate(); }

  // The provider with one instance and "GetUsageMode" answering `mode`.
  static void Provide(std::optional<DWORD> mode) {
    ASSERT_TRUE(wmi::SetProvider(true));
    ASSERT_TRUE(wmi::SetMode(mode));
  }

  static HRESULT Call(CWmiModeSource& source, const wchar_t* method) {
    const UniqueBstr name(method);
    return source.CallMethod(name.get());
  }

  static bool Subscribed() { return WaitUntil([] { return wmi::ActiveSubscriptions() == 1; }); }

  kqdtest::RegistryBackup modeBackup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
  kqdtest::RegistryBackup configBackup_{
      HKEY_LOCAL_MACHINE,
      wmi::kConfigKey,
      {wmi::kProviderValue, wmi::kInstancesValue, wmi::kModeValue, wmi::kExecFailureValue, L"Val1", L"Val2", L"Val3",
       L"Val4", L"Val5", L"Val6"}};
  kqd::CZarnModeController controller_{kqd::ModeSourceFactory{}};
  kqdtest::ComClasses com_;
};

struct ProbeCase {
  const char* name;
  bool provider;
  DWORD instances;
  std::optional<DWORD> mode;
  HRESULT execFailure;
  HRESULT status;  // of CallMethod
  int answer;      // of QueryUsageMode
  kqd::UsageMode modeAfter;
  friend void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }
};

class WmiProbe : public WmiSource, public testing::WithParamInterface<ProbeCase> {};

TEST_P(WmiProbe, AnswersAndStoresAsTheProviderDoes) {
  const ProbeCase& c = GetParam();
  ASSERT_TRUE(wmi::SetProvider(c.provider));
  ASSERT_TRUE(wmi::SetInstances(c.instances));
  ASSERT_TRUE(wmi::SetMode(c.mode));
  ASSERT_TRUE(wmi::SetExecFailure(c.execFailure));
  {
    CWmiModeSource source(controller_);
    EXPECT_EQ(Call(source, L"GetUsageMode"), c.status);
    EXPECT_EQ(controller_.GetMode(), c.modeAfter);
    controller_.SetMode(kUntouched);
    EXPECT_EQ(source.QueryUsageMode(), c.answer);
    EXPECT_EQ(controller_.GetMode(), c.modeAfter);
    source.Stop();
  }
  EXPECT_EQ(wmi::LiveObjects(), 0) << "a WMI object was not released";
}

INSTANTIATE_TEST_SUITE_P(
    Provider, WmiProbe,
    testing::Values(
        ProbeCase{"NoClass", false, 1, 2, S_OK, static_cast<HRESULT>(WBEM_E_INVALID_CLASS), 0, kUntouched},
        ProbeCase{"NoInstance", true, 0, 2, S_OK, WBEM_S_FALSE, 1, kUntouched},
        ProbeCase{"DataSeven", true, 1, 7, S_OK, S_OK, 1, 7},
        ProbeCase{"LargeValuePassesThrough", true, 1, 0xFFFFFFF0u, S_OK, S_OK, 1, 0xFFFFFFF0u},
        ProbeCase{"FirstOfThreeInstances", true, 3, 2, S_OK, S_OK, 1, 2},
        ProbeCase{"NullData", true, 1, std::nullopt, S_OK, S_OK, 1, 0},
        ProbeCase{"ExecMethodFails", true, 1, 2, static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE),
                  static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE), 0, kUntouched}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

TEST_F(WmiSource, CallMethod_MakesTheCallsWithTheirArguments) {
  Provide(1);
  CWmiModeSource source(controller_);
  ASSERT_EQ(Call(source, L"GetUsageMode"), S_OK);
  const std::wstring path = L"\\\\KQDTB\\ROOT\\WMI:TAVMIR_GSENSOR_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\GSNS_0\"";
  EXPECT_EQ(wmi::CallLog(), (std::vector<std::wstring>{
                                L"WbemLocator::CreateInstance",
                                L"IWbemLocator::ConnectServer ROOT\\WMI",
                                L"IClientSecurity::SetBlanket 10 0 (null) 3 3 0x0",
                                L"IWbemServices::CreateInstanceEnum TAVMIR_GSENSOR_DATA 0x30",
                                L"IEnumWbemClassObject::Next",
                                L"IWbemClassObject::Get __PATH",
                                L"IWbemServices::ExecMethod " + path + L" GetUsageMode",
                                L"IWbemClassObject::Get Data",
                            }));
  source.Stop();
}

TEST_F(WmiSource, ValueMethods_FillTheirRowWithTheBitsOfData) {
  const wchar_t* methods[] = {L"GetXaxisValue",  L"GetYaxisValue",  L"GetZaxisValue",
                              L"GetAngle4Value", L"GetAngle5Value", L"GetAngle6Value"};
  Provide(3);
  CWmiModeSource source(controller_);
  for (size_t row = 0; row < 6; ++row) {
    SCOPED_TRACE(testing::Message() << "row " << row + 1);
    const float value = 10.5f * static_cast<float>(row + 1);
    ASSERT_TRUE(wmi::SetValue(row, std::bit_cast<DWORD>(value)));
    EXPECT_EQ(Call(source, methods[row]), S_OK);
    const auto table = source.Values();
    ASSERT_EQ(table.size(), 6u);
    for (size_t other = 0; other < 6; ++other) {
      EXPECT_EQ(table[other].value, other <= row ? 10.5f * static_cast<float>(other + 1) : 0.0f) << other;
    }
  }
  EXPECT_EQ(controller_.GetMode(), kUntouched) << "value methods leave the mode alone";
  // The provider matches names in any case; the source stores only its exact names.
  ASSERT_TRUE(wmi::SetValue(0, std::bit_cast<DWORD>(99.0f)));
  EXPECT_EQ(Call(source, L"getxaxisvalue"), S_OK);
  EXPECT_EQ(Call(source, L"getusagemode"), S_OK);
  EXPECT_EQ(source.Values()[0].value, 10.5f);
  EXPECT_EQ(controller_.GetMode(), kUntouched);
  source.Stop();
}

// A null "Data" is a mode of 0, not a reason to keep the old one.
TEST_F(WmiSource, NullData_AfterAValueReadsZero) {
  Provide(7);
  CWmiModeSource source(controller_);
  ASSERT_EQ(source.QueryUsageMode(), 1);
  ASSERT_EQ(controller_.GetMode(), 7u);
  ASSERT_TRUE(wmi::SetMode(std::nullopt));
  EXPECT_EQ(source.QueryUsageMode(), 1);
  EXPECT_EQ(controller_.GetMode(), 0u);
  EXPECT_EQ(source.LastMode(), 0u);
  source.Stop();
}

// Every string of a call may fail; each failure ends the call as out of memory,
// releases what it had and leaves the mode alone.
TEST_F(WmiSource, StringAllocationFailure_OutOfMemoryAndNothingLeaked) {
  static std::atomic<int> left{0};
  const auto failing = [](const OLECHAR* text, UINT length) -> BSTR {
    return --left == 0 ? nullptr : ::SysAllocStringLen(text, length);
  };
  Provide(2);
  CWmiModeSource source(controller_);
  const UniqueBstr method(L"GetUsageMode");
  std::vector<bool> enumerated;  // per failing allocation: the call got as far as the instances
  for (int failAt = 1; failAt < 20; ++failAt) {
    SCOPED_TRACE(testing::Message() << "allocation " << failAt << " fails");
    wmi::ClearCallLog();
    HRESULT hr = S_OK;
    {
      const kqd::win::BstrAllocatorOverride override(failing);
      left = failAt;
      hr = source.CallMethod(method.get());
    }
    EXPECT_EQ(wmi::LiveObjects(), 0);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(controller_.GetMode(), 2u);
      break;
    }
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(controller_.GetMode(), kUntouched);
    enumerated.push_back(Count(wmi::CallLog(), L"IEnumWbemClassObject::Next") == 1);
    {
      const kqd::win::BstrAllocatorOverride override(failing);
      left = failAt;
      EXPECT_EQ(source.QueryUsageMode(), 0) << "a probe without its strings is no answer";
    }
    EXPECT_EQ(controller_.GetMode(), kUntouched);
  }
  // The namespace, the class, "Data", the method name, then "__PATH" after the enumeration.
  EXPECT_EQ(enumerated, (std::vector<bool>{false, false, false, false, true}));
  source.Stop();
}

TEST_F(WmiSource, EventLoop_SubscribesThroughTheApartmentAndCancelsAtStop) {
  Provide(1);
  std::string printed;
  {
    ModeEventWatch watch;
    kqdtest::StdoutCapture capture;
    ASSERT_TRUE(capture.active());
    {
      CWmiModeSource source(controller_);
      source.StartThread();
      ASSERT_TRUE(Subscribed());
      source.Stop();
    }
    printed = capture.Text();
    EXPECT_EQ(watch.Count(), 0u) << "no query, no publication";
  }
  const auto log = wmi::CallLog();
  EXPECT_EQ(Count(log, L"IWbemLocator::ConnectServer root\\WMI"), 1u);
  EXPECT_EQ(Count(log, L"UnsecuredApartment::CreateInstance"), 1u);
  EXPECT_EQ(Count(log, L"IUnsecuredApartment::CreateObjectStub"), 1u);
  EXPECT_EQ(Count(log, L"IWbemServices::ExecNotificationQueryAsync WQL [SELECT * FROM TAVMIR_GSENSOR_EVENT ] 0x80"),
            1u);
  EXPECT_EQ(Count(log, L"IWbemServices::CancelAsyncCall"), 1u);
  EXPECT_EQ(printed, "Call complete. hResult = 0x80041032\r\n");
  EXPECT_EQ(wmi::ActiveSubscriptions(), 0u);
  EXPECT_EQ(wmi::LiveObjects(), 0) << "the loop released everything";
}

// One publication needs every event inside the burst window after the query before
// it. A machine that stalls longer between two events rightly publishes in between;
// such a run is repeated, but only when each early publication kept the window.
bool OnlyStalledPublications(const std::vector<uint64_t>& published, const std::vector<wmi::RecordEntry>& queries) {
  if (published.size() < 2) return false;
  for (size_t p = 0; p + 1 < published.size(); ++p) {
    uint64_t before = 0;
    bool later = false;
    for (const auto& query : queries) {
      if (query.micros < published[p]) before = query.micros;
      later = later || query.micros > published[p];
    }
    const auto waited = static_cast<int64_t>(published[p] - before);
    if (waited < kWindowMicros - kEarlyMicros || !later) return false;
  }
  return true;
}

TEST_F(WmiSource, Burst_OneQueryPerEventAndOnePublicationAfterTheLast) {
  Provide(2);
  constexpr size_t kEvents = 5;
  for (int attempt = 1; attempt <= 5; ++attempt) {
    ASSERT_TRUE(wmi::ClearRecord());
    ModeEventWatch watch;
    CWmiModeSource source(controller_);
    source.StartThread();
    ASSERT_TRUE(Subscribed());
    for (size_t i = 1; i <= kEvents; ++i) {
      wmi::FireLocal();
      // The next event comes as soon as this one's query is under way.
      ASSERT_TRUE(WaitUntil([&] { return Queries().size() >= i; })) << "event " << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return watch.Count() >= 1; }));
    const bool more = WaitUntil([&] { return watch.Count() > 1 || Queries().size() > kEvents; }, kQuiet);
    const auto queries = Queries();
    source.Stop();
    if (OnlyStalledPublications(watch.Times(), queries) && queries.size() == kEvents) continue;

    EXPECT_FALSE(more);
    ASSERT_EQ(queries.size(), kEvents);
    ASSERT_EQ(watch.Count(), 1u);
    const auto delay = static_cast<int64_t>(watch.Times()[0] - queries.back().micros);
    EXPECT_GE(delay, kWindowMicros - kEarlyMicros) << "published before the burst window ended";
    EXPECT_LE(delay, kWindowMicros + 240'000) << "published far too late";
    EXPECT_EQ(controller_.GetMode(), 2u);
    EXPECT_GE(wmi::DeliveredEvents(), kEvents);
    return;
  }
  FAIL() << "five attempts, and each was stalled between two events";
}

TEST_F(WmiSource, EventsDuringAQuery_FoldIntoOneMoreQuery) {
  Provide(3);
  ModeEventWatch watch;
  CWmiModeSource source(controller_);
  source.StartThread();
  ASSERT_TRUE(Subscribed());
  wmi::CloseExecGate();
  const uint64_t before = wmi::DeliveredEvents();
  wmi::FireLocal();
  ASSERT_TRUE(WaitUntil([] { return wmi::CallsAtExecGate() == 1; }));
  for (int i = 0; i < 3; ++i) wmi::FireLocal();
  ASSERT_TRUE(WaitUntil([&] { return wmi::DeliveredEvents() == before + 4; }));
  wmi::OpenExecGate();
  ASSERT_TRUE(WaitUntil([&] { return watch.Count() >= 1; }));
  EXPECT_FALSE(WaitUntil([&] { return watch.Count() > 1 || Queries().size() > 2; }, kQuiet));
  EXPECT_EQ(Queries().size(), 2u);
  EXPECT_EQ(watch.Count(), 1u);
  EXPECT_EQ(controller_.GetMode(), 3u);
  source.Stop();
}

struct RequestCase {
  const char* name;
  HRESULT execFailure;
  kqd::UsageMode modeAfter;
  friend void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }
};

class WmiRequest : public WmiSource, public testing::WithParamInterface<RequestCase> {};

// A failed query is no reason to stay silent: the publication follows all the same.
TEST_P(WmiRequest, OneQueryThenOnePublication) {
  Provide(4);
  ASSERT_TRUE(wmi::SetExecFailure(GetParam().execFailure));
  ModeEventWatch watch;
  CWmiModeSource source(controller_);
  source.StartThread();
  ASSERT_TRUE(Subscribed());
  source.RequestQuery();
  ASSERT_TRUE(WaitUntil([&] { return watch.Count() >= 1; }));
  EXPECT_FALSE(WaitUntil([&] { return watch.Count() > 1 || Queries().size() > 1; }, kQuiet));
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].result, GetParam().execFailure);
  EXPECT_EQ(watch.Count(), 1u);
  EXPECT_EQ(controller_.GetMode(), GetParam().modeAfter);
  source.Stop();
}

INSTANTIATE_TEST_SUITE_P(Provider, WmiRequest,
                         testing::Values(RequestCase{"Answers", S_OK, 4},
                                         RequestCase{"Fails", static_cast<HRESULT>(WBEM_E_FAILED), kUntouched}),
                         [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

TEST_F(WmiSource, StopInsideTheWindow_NoPublication) {
  Provide(1);
  ModeEventWatch watch;
  {
    CWmiModeSource source(controller_);
    source.StartThread();
    ASSERT_TRUE(Subscribed());
    wmi::CloseExecGate();
    source.RequestQuery();
    ASSERT_TRUE(WaitUntil([] { return wmi::CallsAtExecGate() == 1; }));
    source.Stop();  // the query ends after this: the window it opens is cut short
    wmi::OpenExecGate();
  }
  EXPECT_EQ(Queries().size(), 1u);
  EXPECT_EQ(controller_.GetMode(), 1u);
  EXPECT_EQ(wmi::ActiveSubscriptions(), 0u);
  EXPECT_FALSE(WaitUntil([&] { return watch.Count() > 0; }, kQuiet));
}

TEST_F(WmiSource, EventLoop_WithoutTheEventClassEndsAndQueriesNothing) {
  ModeEventWatch watch;
  {
    CWmiModeSource source(controller_);
    source.StartThread();
    ASSERT_TRUE(WaitUntil([] {
      const auto log = wmi::CallLog();
      return !log.empty() && log.back().starts_with(L"IWbemServices::ExecNotificationQueryAsync");
    }));
    source.RequestQuery();
    source.Stop();
  }
  EXPECT_EQ(wmi::ActiveSubscriptions(), 0u);
  EXPECT_TRUE(Queries().empty());
  EXPECT_EQ(watch.Count(), 0u);
  EXPECT_EQ(wmi::LiveObjects(), 0);
}

// Run by cli_test.sh in its own process against the double installed in the
// prefix: probes, subscribes, prints each mode it sees, ends at mode 9.
TEST(WmiInstalled, DISABLED_FollowTheProvider) {
  kqdtest::ComClasses com;
  ASSERT_TRUE(SUCCEEDED(com.Enter()));
  {
    kqdtest::RegistryBackup modeBackup{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
    kqd::CZarnModeController controller{kqd::ModeSourceFactory{}};
    ModeEventWatch watch;
    CWmiModeSource source(controller);
    const int probe = source.QueryUsageMode();
    std::printf("probe=%d mode=%u\n", probe, controller.GetMode());
    std::fflush(stdout);
    source.StartThread();
    size_t seen = 0;
    kqd::UsageMode mode = controller.GetMode();
    while (mode != 9 && WaitUntil([&] { return watch.Count() > seen; }, 60s)) {
      seen = watch.Count();
      mode = controller.GetMode();
      std::printf("published mode=%u\n", mode);
      std::fflush(stdout);
    }
    source.Stop();
  }
}

}  // namespace
