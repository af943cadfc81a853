// The slate-toggle double as the service meets it: the configuration manager's
// interface list (through the cfgmgr32 double, called the way the product calls
// it), an indicator that admits one open at a time, one-byte writes that reach
// exactly one of the two devices, and the machine's slate state they toggle, as
// GetSystemMetrics reports it.

#include <windows.h>
#include <cfgmgr32.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/qpc_clock.h"
#include "doubles/slate/slate_client.h"
#include "doubles/slate/slate_contract.h"
#include "support/child_process.h"
#include "win/unique_handle.h"

namespace {

namespace slate = kqdtb::slate;
using kqd::win::UniqueFile;

GUID SlateClass() { return {0x317FC439, 0x3F77, 0x41C8, {0xB0, 0x9E, 0x08, 0xAD, 0x63, 0x27, 0x2A, 0xA3}}; }

const wchar_t kPath0[] = L"\\\\?\\root#kqdslate#0000#{317fc439-3f77-41c8-b09e-08ad63272aa3}";
const wchar_t kPath1[] = L"\\\\?\\root#kqdslate#0001#{317fc439-3f77-41c8-b09e-08ad63272aa3}";
const wchar_t kPath2[] = L"\\\\?\\root#kqdslate#0002#{317fc439-3f77-41c8-b09e-08ad63272aa3}";

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// Splits a configuration-manager list; the whole buffer must be used and end in two terminators.
std::vector<std::wstring> SplitList(const std::vector<wchar_t>& buffer) {
  std::vector<std::wstring> paths;
  std::size_t at = 0;
  while (at < buffer.size() && buffer[at] != L'\0') {
    std::wstring path(&buffer[at]);
    at += path.size() + 1;
    paths.push_back(Lower(path));
  }
  EXPECT_EQ(at + 1, buffer.size()) << "the list must end in an empty string at the end of its length";
  return paths;
}

// The product's sequence: size, then a zero-filled buffer of that length.
std::vector<std::wstring> ListPresent(const wchar_t* deviceId = nullptr, ULONG flags = CM_GET_DEVICE_INTERFACE_LIST_PRESENT) {
  GUID cls = SlateClass();
  ULONG length = 0xdeadbeef;
  EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&length, &cls, const_cast<wchar_t*>(deviceId), flags));
  if (length == 0 || length > 0x10000) {
    ADD_FAILURE() << "implausible length " << length;
    return {};
  }
  std::vector<wchar_t> buffer(length, L'\0');
  EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_ListW(&cls, const_cast<wchar_t*>(deviceId), buffer.data(), length, flags));
  return SplitList(buffer);
}

UniqueFile OpenLikeTheService(const std::wstring& path) {
  return UniqueFile{::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

bool Write(HANDLE device, const void* data, DWORD length) {
  DWORD written = 0;
  return ::WriteFile(device, data, length, &written, nullptr) && written == length;
}

slate::Counters Read(int device) {
  const auto counters = slate::ReadCounters(device);
  EXPECT_TRUE(counters.has_value()) << "device " << device;
  return counters.value_or(slate::Counters{});
}

// The fixture installs the double with both interfaces present; each test puts that
// back, with the machine as it loads (slate, the default lag) and no holder.
class SlateDouble : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(slate::IsCfgmgrDoubleLoaded()) << "cfgmgr32 of this process is Wine's; is fixture 'slate' installed?";
    ASSERT_TRUE(slate::IsPresent(0) && slate::IsPresent(1)) << "kqdslate.sys is not loaded";
    ASSERT_TRUE(slate::SetLag(slate::kDefaultLagMs) && slate::SetState(slate::SlateState::Slate));
    ASSERT_TRUE(slate::ResetCounters(0) && slate::ResetCounters(1));
  }
  void TearDown() override {
    if (slate::HolderRunning()) {
      EXPECT_EQ(slate::Release::Ended, slate::ReleaseHolder(10000));
    }
    EXPECT_TRUE(slate::SetInterfaces(slate::InterfaceSet::Both));
    EXPECT_TRUE(slate::SetLag(slate::kDefaultLagMs) && slate::SetState(slate::SlateState::Slate));
  }
};

struct ListCase {
  slate::InterfaceSet set;
  std::vector<std::wstring> paths;  // in list order
  int firstDevice;                  // reached through the first path; -1 when the list is empty
  std::wstring samePath;            // another interface path of that device ("" if none)
};

void PrintTo(const ListCase& c, std::ostream* os) {
  const std::wstring name = slate::InterfaceSetName(c.set);
  *os << std::string(name.begin(), name.end());
}

class SlateInterfaceSets : public SlateDouble, public ::testing::WithParamInterface<ListCase> {};

TEST_P(SlateInterfaceSets, SizeThenListGivesThePresentPathsInOrder) {
  ASSERT_TRUE(slate::SetInterfaces(GetParam().set));
  EXPECT_EQ(GetParam().paths, ListPresent());
}

TEST_P(SlateInterfaceSets, SizeCountsEveryPathTerminatorAndTheClosingOne) {
  ASSERT_TRUE(slate::SetInterfaces(GetParam().set));
  ULONG expected = 1;
  for (const std::wstring& path : GetParam().paths) expected += static_cast<ULONG>(path.size() + 1);
  GUID cls = SlateClass();
  ULONG length = 0;
  ASSERT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&length, &cls, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
  EXPECT_EQ(expected, length);
}

// What an open of `path` as the service opens it gives, the file closed at once.
DWORD OpenError(const std::wstring& path) {
  ::SetLastError(0xdeadbeef);
  const UniqueFile file = OpenLikeTheService(path);
  return file.valid() ? static_cast<DWORD>(ERROR_SUCCESS) : ::GetLastError();
}

// While the first path is open its indicator admits no other open, through any of
// its paths; the testbed's reads and the other device are not held up by it.
TEST_P(SlateInterfaceSets, OneZeroByteToTheFirstPathReachesOnlyItsDevice) {
  ASSERT_TRUE(slate::SetInterfaces(GetParam().set));
  const std::vector<std::wstring> paths = ListPresent();
  const std::wstring first = paths.empty() ? std::wstring() : paths.front();
  UniqueFile device = OpenLikeTheService(first);
  if (GetParam().firstDevice < 0) {
    EXPECT_FALSE(device.valid()) << "an empty list gives an empty path, which must not open";
    return;
  }
  ASSERT_TRUE(device.valid()) << "error " << ::GetLastError();
  const int other = 1 - GetParam().firstDevice;
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), OpenError(first));
  if (!GetParam().samePath.empty()) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), OpenError(GetParam().samePath));
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), OpenError(other == 0 ? kPath0 : kPath1)) << "the other device";
  const BYTE zero = 0x00;
  ASSERT_TRUE(Write(device.get(), &zero, 1));

  const slate::Counters hit = Read(GetParam().firstDevice);
  EXPECT_EQ(1u, hit.writes);
  EXPECT_EQ(1u, hit.bytes);
  EXPECT_EQ(std::optional<std::uint8_t>(0x00), hit.lastByte);
  EXPECT_TRUE(hit.held);
  EXPECT_EQ(GetParam().samePath.empty() ? 1u : 2u, hit.refused);
  EXPECT_EQ(0u, Read(other).writes);
  EXPECT_FALSE(Read(other).held) << "the other device's open was closed";

  device.reset();
  EXPECT_FALSE(Read(GetParam().firstDevice).held);
  EXPECT_TRUE(OpenLikeTheService(first).valid()) << "closed, the indicator admits the next open; error "
                                                 << ::GetLastError();
}

INSTANTIATE_TEST_SUITE_P(
    Sets, SlateInterfaceSets,
    ::testing::Values(ListCase{slate::InterfaceSet::Both, {kPath0, kPath1}, 0, kPath2},
                      ListCase{slate::InterfaceSet::First, {kPath0}, 0, kPath2},
                      ListCase{slate::InterfaceSet::Second, {kPath1}, 1, L""},
                      ListCase{slate::InterfaceSet::Reversed, {kPath1, kPath2}, 1, L""},
                      ListCase{slate::InterfaceSet::None, {}, -1, L""},
                      ListCase{slate::InterfaceSet::Absent, {}, -1, L""}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return ::testing::PrintToString(info.param); });

TEST_F(SlateDouble, ListIntoAShortBufferIsBufferSmallAndLeavesAnEmptyList) {
  GUID cls = SlateClass();
  ULONG length = 0;
  ASSERT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&length, &cls, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
  ASSERT_GT(length, 2u);
  std::vector<wchar_t> buffer(length, L'x');
  EXPECT_EQ(CR_BUFFER_SMALL, CM_Get_Device_Interface_ListW(&cls, nullptr, buffer.data(), length - 1,
                                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
  EXPECT_EQ(L'\0', buffer[0]);
  EXPECT_EQ(L'x', buffer[length - 1]) << "nothing is written past the length given";
  EXPECT_EQ(CR_BUFFER_SMALL, CM_Get_Device_Interface_ListW(&cls, nullptr, buffer.data(), 0,
                                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
}

TEST_F(SlateDouble, BadArgumentsGetTheirErrorAndNoCrash) {
  GUID cls = SlateClass();
  ULONG length = 0;
  wchar_t buffer[512];
  struct Case {
    const char* what;
    CONFIGRET expected;
    CONFIGRET actual;
  };
  const Case cases[] = {
      {"size, no length", CR_INVALID_POINTER, CM_Get_Device_Interface_List_SizeW(nullptr, &cls, nullptr, 0)},
      {"size, no class", CR_FAILURE, CM_Get_Device_Interface_List_SizeW(&length, nullptr, nullptr, 0)},
      {"size, unknown flag", CR_INVALID_FLAG, CM_Get_Device_Interface_List_SizeW(&length, &cls, nullptr, 2)},
      {"list, no buffer", CR_INVALID_POINTER, CM_Get_Device_Interface_ListW(&cls, nullptr, nullptr, 512, 0)},
      {"list, no class", CR_FAILURE, CM_Get_Device_Interface_ListW(nullptr, nullptr, buffer, 512, 0)},
      {"list, unknown flag", CR_INVALID_FLAG, CM_Get_Device_Interface_ListW(&cls, nullptr, buffer, 512, 0x80)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual) << c.what;
}

TEST_F(SlateDouble, AnotherClassHasAnEmptyList) {
  GUID other = SlateClass();
  other.Data1 ^= 1;
  ULONG length = 0;
  ASSERT_EQ(CR_SUCCESS, CM_Get_Device_Interface_List_SizeW(&length, &other, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
  EXPECT_EQ(1u, length);
  wchar_t buffer[1] = {L'x'};
  EXPECT_EQ(CR_SUCCESS, CM_Get_Device_Interface_ListW(&other, nullptr, buffer, 1, CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
  EXPECT_EQ(L'\0', buffer[0]);
}

TEST_F(SlateDouble, AllDevicesListsInterfacesThatAreNotPresent) {
  ASSERT_TRUE(slate::SetInterfaces(slate::InterfaceSet::None));
  EXPECT_EQ((std::vector<std::wstring>{kPath0, kPath1, kPath2}),
            ListPresent(nullptr, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES));
}

TEST_F(SlateDouble, ADeviceInstanceNarrowsTheList) {
  EXPECT_EQ(std::vector<std::wstring>{kPath1}, ListPresent(L"ROOT\\KQDSLATE\\0001"));
  EXPECT_EQ(std::vector<std::wstring>{kPath1}, ListPresent(L"root\\kqdslate\\0001")) << "ids ignore case";
  EXPECT_EQ((std::vector<std::wstring>{kPath0, kPath1}), ListPresent(L"")) << "an empty id means every device";
  EXPECT_EQ(std::vector<std::wstring>{}, ListPresent(L"ROOT\\KQDSLATE\\0002")) << "registered, not present";
}

TEST_F(SlateDouble, EveryWriteIsCountedWhateverItsLength) {
  const UniqueFile device = OpenLikeTheService(kPath1);
  ASSERT_TRUE(device.valid());
  const BYTE five[] = {1, 2, 3, 4, 0xAB};
  const std::vector<BYTE> large(64 * 1024, 0x5A);
  ASSERT_TRUE(Write(device.get(), five, sizeof(five)));
  ASSERT_TRUE(Write(device.get(), large.data(), static_cast<DWORD>(large.size())));
  ASSERT_TRUE(Write(device.get(), five, 0));

  const slate::Counters counters = Read(1);
  EXPECT_EQ(3u, counters.writes);
  EXPECT_EQ(sizeof(five) + large.size(), counters.bytes);
  EXPECT_EQ(std::optional<std::uint8_t>(0x5A), counters.lastByte) << "an empty write keeps the last byte";
  EXPECT_EQ(0u, Read(0).writes);
}

TEST_F(SlateDouble, ResetForgetsCountsAndLastByteOfThatDeviceOnly) {
  const BYTE one = 0x07;
  for (const wchar_t* path : {kPath0, kPath1}) {
    const UniqueFile device = OpenLikeTheService(path);
    ASSERT_TRUE(device.valid());
    ASSERT_TRUE(Write(device.get(), &one, 1));
  }
  ASSERT_TRUE(slate::ResetCounters(0));
  const slate::Counters reset = Read(0);
  EXPECT_EQ(0u, reset.writes);
  EXPECT_EQ(0u, reset.bytes);
  EXPECT_FALSE(reset.lastByte.has_value());
  EXPECT_EQ(1u, Read(1).writes);
}

TEST_F(SlateDouble, EachNonEmptyWriteIsRecordedWithItsArrivalOnTheCallersClock) {
  const UniqueFile device = OpenLikeTheService(kPath0);
  ASSERT_TRUE(device.valid());
  const struct {
    std::vector<BYTE> bytes;
  } writes[] = {{{0x01}}, {{}}, {{1, 2, 0xAB}}, {{0x00}}};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> around;  // caller's clock before and after each write
  for (const auto& w : writes) {
    const std::uint64_t before = kqdtb::QpcNow100ns();
    ASSERT_TRUE(Write(device.get(), w.bytes.data(), static_cast<DWORD>(w.bytes.size())));
    if (!w.bytes.empty()) around.emplace_back(before, kqdtb::QpcNow100ns());
  }
  const auto record = slate::ReadWrites(0);
  ASSERT_TRUE(record.has_value());
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected = {{1, 0x01}, {3, 0xAB}, {1, 0x00}};
  ASSERT_EQ(expected.size(), record->entries.size()) << "an empty write is counted, not recorded";
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].first, record->entries[i].length);
    EXPECT_EQ(expected[i].second, record->entries[i].lastByte);
    EXPECT_GE(record->entries[i].time, around[i].first);
    EXPECT_LE(record->entries[i].time, around[i].second);
  }
  EXPECT_EQ(0u, record->dropped);
  EXPECT_TRUE(slate::ReadWrites(1)->entries.empty()) << "each device keeps its own record";

  ASSERT_TRUE(slate::ResetCounters(0));
  EXPECT_TRUE(slate::ReadWrites(0)->entries.empty());
}

TEST_F(SlateDouble, AFullRecordCountsTheWritesItCannotKeep) {
  const UniqueFile device = OpenLikeTheService(kPath1);
  ASSERT_TRUE(device.valid());
  for (int i = 0; i < KQDSLATE_RECORD_CAPACITY + 5; ++i) {
    const BYTE byte = static_cast<BYTE>(i);
    ASSERT_TRUE(Write(device.get(), &byte, 1)) << i;
  }
  const auto record = slate::ReadWrites(1);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(static_cast<std::size_t>(KQDSLATE_RECORD_CAPACITY), record->entries.size());
  EXPECT_EQ(5u, record->dropped);
  EXPECT_EQ(static_cast<std::uint8_t>(KQDSLATE_RECORD_CAPACITY - 1), record->entries.back().lastByte);
  EXPECT_EQ(static_cast<std::uint32_t>(KQDSLATE_RECORD_CAPACITY + 5), Read(1).writes);
}

// Through the one handle the indicator admits, as the service writes from its threads.
TEST_F(SlateDouble, WritesFromSeveralThreadsAreAllCounted) {
  constexpr int kThreads = 4;
  constexpr int kWritesEach = 100;
  const UniqueFile device = OpenLikeTheService(kPath0);
  ASSERT_TRUE(device.valid());
  std::vector<std::thread> writers;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &failures, &device] {
      const BYTE zero = 0;
      for (int i = 0; i < kWritesEach; ++i) {
        if (!Write(device.get(), &zero, 1)) ++failures[t];
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
  EXPECT_EQ(static_cast<std::uint32_t>(kThreads * kWritesEach), Read(0).writes);
}

slate::SlateState StateNow() {
  const auto machine = slate::ReadMachine();
  EXPECT_TRUE(machine.has_value());
  return machine ? machine->state : slate::SlateState::Slate;
}

// Both devices stand for the one slate-toggle device: only a one-byte write to
// either toggles the machine's state, and this executable's GetSystemMetrics
// (answered through the cfgmgr32 double) reports it. No lag, so that each change
// shows before the next reading.
TEST_F(SlateDouble, OneByteWritesToEitherDeviceToggleTheMachinesState) {
  using State = slate::SlateState;
  const struct {
    const wchar_t* path;
    DWORD length;
    State after;
  } writes[] = {{kPath0, 1, State::Laptop}, {kPath1, 1, State::Slate}, {kPath0, 0, State::Slate},
                {kPath1, 3, State::Slate}, {kPath1, 1, State::Laptop}};
  const BYTE bytes[3] = {0, 0, 0};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> around;  // of each toggling write
  ASSERT_TRUE(slate::SetLag(0));
  EXPECT_EQ(0, ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE)) << "the machine as it loads is a slate";
  for (const auto& w : writes) {
    SCOPED_TRACE(testing::Message() << around.size() << ": " << w.length << " bytes");
    const UniqueFile device = OpenLikeTheService(w.path);
    ASSERT_TRUE(device.valid());
    const std::uint64_t before = kqdtb::QpcNow100ns();
    ASSERT_TRUE(Write(device.get(), bytes, w.length));
    if (w.length == 1) around.emplace_back(before, kqdtb::QpcNow100ns());
    EXPECT_EQ(w.after, StateNow());
    EXPECT_EQ(w.after == State::Slate ? 0 : 1, ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE));
  }
  EXPECT_NE(0, ::GetSystemMetrics(SM_CXSCREEN)) << "other indexes go to user32";

  const auto changes = slate::ReadChanges();
  ASSERT_TRUE(changes.has_value());
  ASSERT_EQ(around.size(), changes->entries.size());
  const State states[] = {State::Laptop, State::Slate, State::Laptop};
  for (std::size_t i = 0; i < around.size(); ++i) {
    EXPECT_EQ(states[i], changes->entries[i].state) << i;
    EXPECT_FALSE(changes->entries[i].set) << i;
    EXPECT_GE(changes->entries[i].time, around[i].first) << i;
    EXPECT_LE(changes->entries[i].time, around[i].second) << i;
  }
  // The state belongs to the machine: a reset of the counters empties the records only.
  ASSERT_TRUE(slate::ResetCounters(1));
  EXPECT_TRUE(slate::ReadChanges()->entries.empty());
  EXPECT_EQ(State::Laptop, StateNow());
  ASSERT_TRUE(slate::SetState(State::Slate));
  ASSERT_TRUE(slate::SetState(State::Slate));
  const auto set = slate::ReadChanges();
  ASSERT_EQ(1u, set->entries.size()) << "setting the state it has is no change";
  EXPECT_TRUE(set->entries[0].set);
}

// A change shows the lag after its write arrived, not before; setting the state
// drops what is still pending. The lag is long enough that a busy machine does not
// reach the first reading after it.
TEST_F(SlateDouble, AToggleShowsTheLagAfterItsWrite) {
  constexpr std::uint32_t kLagMs = 1000;
  ASSERT_TRUE(slate::SetLag(kLagMs));
  const UniqueFile device = OpenLikeTheService(kPath0);
  ASSERT_TRUE(device.valid());
  const BYTE zero = 0;
  ASSERT_TRUE(Write(device.get(), &zero, 1));
  const auto pending = slate::ReadMachine();
  ASSERT_TRUE(pending.has_value());
  EXPECT_EQ(slate::SlateState::Slate, pending->state);
  EXPECT_EQ(1u, pending->pending);
  EXPECT_EQ(kLagMs, pending->lagMs);
  EXPECT_EQ(0, ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE));

  std::uint64_t seen = 0;
  for (int i = 0; i < 1000 && seen == 0; ++i) {
    if (StateNow() == slate::SlateState::Laptop) seen = kqdtb::QpcNow100ns();
    ::Sleep(5);
  }
  ASSERT_NE(0u, seen) << "the toggle never showed";
  const auto writes = slate::ReadWrites(0);
  const auto changes = slate::ReadChanges();
  ASSERT_TRUE(writes && changes);
  ASSERT_EQ(1u, writes->entries.size());
  ASSERT_EQ(1u, changes->entries.size());
  EXPECT_EQ(writes->entries[0].time + kLagMs * 10000ull, changes->entries[0].time);
  EXPECT_GE(seen, changes->entries[0].time) << "shown before its time";

  // A lag shortened between two writes: the later write shows first, each at its own time.
  ASSERT_TRUE(slate::ResetCounters(0));
  ASSERT_TRUE(Write(device.get(), &zero, 1));
  ASSERT_TRUE(slate::SetLag(kLagMs / 4));
  ASSERT_TRUE(Write(device.get(), &zero, 1));
  ::Sleep(kLagMs + 100);
  const auto both = slate::ReadWrites(0);
  const auto shown = slate::ReadChanges();
  ASSERT_TRUE(both && shown);
  ASSERT_EQ(2u, both->entries.size());
  ASSERT_EQ(2u, shown->entries.size());
  EXPECT_EQ(both->entries[1].time + kLagMs / 4 * 10000ull, shown->entries[0].time);
  EXPECT_EQ(both->entries[0].time + kLagMs * 10000ull, shown->entries[1].time);
  EXPECT_EQ(slate::SlateState::Slate, shown->entries[0].state);
  EXPECT_EQ(slate::SlateState::Laptop, shown->entries[1].state);

  ASSERT_TRUE(slate::SetLag(kLagMs));
  ASSERT_TRUE(Write(device.get(), &zero, 1));
  ASSERT_TRUE(slate::SetState(slate::SlateState::Slate));
  ::Sleep(kLagMs + 100);
  const auto after = slate::ReadMachine();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(slate::SlateState::Slate, after->state) << "the dropped toggle showed after all";
  EXPECT_EQ(0u, after->pending);
}

TEST_F(SlateDouble, RequestsTheDriverDoesNotServeFailCleanly) {
  const UniqueFile device = OpenLikeTheService(kPath0);
  ASSERT_TRUE(device.valid());
  BYTE small[4] = {};
  DWORD returned = 0;
  // The counters IOCTL with an output buffer shorter than the counters.
  EXPECT_FALSE(::DeviceIoControl(device.get(), IOCTL_KQDSLATE_GET_COUNTERS, nullptr, 0, small, sizeof(small),
                                 &returned, nullptr));
  EXPECT_FALSE(::DeviceIoControl(device.get(), CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                 nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(::ReadFile(device.get(), small, sizeof(small), &returned, nullptr));
  // The machine's state and lag take one ULONG each, within their range.
  const ULONG unknownState = 2, tooLong = KQDSLATE_MAX_LAG_MS + 1;
  EXPECT_FALSE(::DeviceIoControl(device.get(), IOCTL_KQDSLATE_SET_STATE, const_cast<ULONG*>(&unknownState),
                                 sizeof(unknownState), nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(::DeviceIoControl(device.get(), IOCTL_KQDSLATE_SET_STATE, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(::DeviceIoControl(device.get(), IOCTL_KQDSLATE_SET_LAG, const_cast<ULONG*>(&tooLong), sizeof(tooLong),
                                 nullptr, 0, &returned, nullptr));
  EXPECT_FALSE(::DeviceIoControl(device.get(), IOCTL_KQDSLATE_GET_MACHINE, nullptr, 0, small, sizeof(small), &returned,
                                 nullptr));
  EXPECT_EQ(0u, Read(0).writes);
  const auto machine = slate::ReadMachine();
  ASSERT_TRUE(machine.has_value());
  EXPECT_EQ(slate::SlateState::Slate, machine->state);
  EXPECT_EQ(slate::kDefaultLagMs, machine->lagMs);
}

// kqdtb.exe with `arguments`, as a script runs it: its exit code.
DWORD RunKqdtb(const std::wstring& arguments) {
  const kqd::win::UniqueHandleNull process = kqdtest::StartKqdtb(arguments);
  if (!process) return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 1);
    ADD_FAILURE() << "kqdtb.exe did not end";
  }
  ::GetExitCodeProcess(process.get(), &code);
  return code;
}

// Another process holds the indicator as the service would (kqdtb slate-hold) and
// keeps this one's opens out until it lets go; the testbed's own path reads on.
// Each step is a command as a script runs it, and what holds after it.
TEST_F(SlateDouble, AHolderInAnotherProcessKeepsOthersOutUntilReleased) {
  const struct {
    const wchar_t* arguments;
    DWORD exitCode;
    bool held;
  } steps[] = {
      {L"slate-release", 1, false},      // nothing is held
      {L"slate-hold now", 2, false},     // usage
      {L"slate-hold", 0, true},
      {L"slate-hold", 1, true},          // held already: refused, the holder stays
      {L"slate-release now", 2, true},   // usage
      {L"slate-release", 0, false},      // returns once the holder has ended
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::Message() << "kqdtb " << step.arguments);
    EXPECT_EQ(step.exitCode, RunKqdtb(step.arguments));
    EXPECT_EQ(step.held, slate::HolderRunning());
    EXPECT_EQ(step.held, Read(0).held) << "read through the testbed's path whatever holds";
    EXPECT_EQ(step.held ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : static_cast<DWORD>(ERROR_SUCCESS),
              OpenError(kPath0));
  }

  // With the indicator taken first, as the running service takes it, no holder stays.
  {
    const UniqueFile service = OpenLikeTheService(kPath0);
    ASSERT_TRUE(service.valid());
    EXPECT_EQ(1u, RunKqdtb(L"slate-hold"));
    EXPECT_FALSE(slate::HolderRunning());
  }

  // A reset lets go of a holder and puts the machine back as it loads.
  ASSERT_TRUE(slate::SetState(slate::SlateState::Laptop) && slate::SetLag(0));
  ASSERT_EQ(0u, RunKqdtb(L"slate-hold"));
  EXPECT_EQ(0u, RunKqdtb(L"doubles-reset"));
  EXPECT_FALSE(slate::HolderRunning());
  EXPECT_FALSE(Read(0).held);
  const auto machine = slate::ReadMachine();
  ASSERT_TRUE(machine.has_value());
  EXPECT_EQ(slate::SlateState::Slate, machine->state);
  EXPECT_EQ(static_cast<std::uint32_t>(KQDSLATE_DEFAULT_LAG_MS), machine->lagMs);
  EXPECT_EQ(0u, machine->pending);
}

TEST_F(SlateDouble, ClientRefusesUnknownDevicesAndInstances) {
  EXPECT_FALSE(slate::ReadCounters(2).has_value());
  EXPECT_FALSE(slate::ReadWrites(-1).has_value());
  EXPECT_FALSE(slate::ResetCounters(-1));
  EXPECT_FALSE(slate::IsPresent(2));
  EXPECT_TRUE(slate::InterfacePath(3).empty());
  EXPECT_EQ(-1, slate::DeviceOfInstance(3));
  EXPECT_FALSE(slate::ParseInterfaceSet(L"Both").has_value());
  EXPECT_FALSE(slate::ParseSlateState(L"foo").has_value());
  EXPECT_FALSE(slate::SetLag(slate::kMaxLagMs + 1));
}

}  // namespace
