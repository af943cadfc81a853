// The powrprof double in this process, for what the service never does: refused
// registrations, unknown and repeated unregistrations, a callback told the current
// value, a request with no service handler, and an import rewrite that finds
// nothing to rewrite.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "doubles/power/power_client.h"
#include "common/iat_patch.h"
#include "doubles/power/power_contract.h"

extern "C" DWORD WINAPI PowerSettingRegisterNotification(LPCGUID, DWORD, HANDLE, PVOID*);
extern "C" DWORD WINAPI PowerSettingUnregisterNotification(PVOID);

namespace {

using kqdtb::power::DisplayState;
using kqdtb::power::ReadRecord;
using kqdtb::power::RegistrationRecord;
using kqdtb::power::RequestResult;

constexpr GUID kConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr DWORD kServiceHandle = 1;  // DEVICE_NOTIFY_SERVICE_HANDLE
HANDLE const kRecipient = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5150));

// This process's registration with the given handle, as the record shows it.
const RegistrationRecord* Recorded(const std::vector<RegistrationRecord>& all, PVOID handle) {
  const auto it = std::find_if(all.begin(), all.end(), [&](const RegistrationRecord& r) {
    return r.process == ::GetCurrentProcessId() && r.handle == reinterpret_cast<ULONG_PTR>(handle);
  });
  return it == all.end() ? nullptr : &*it;
}

class PowerDouble : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kqdtb::power::IsDoubleLoaded()) << "install-power did not reach this test"; }
};

TEST_F(PowerDouble, RegisterRefusesWhatWindowsRefuses) {
  PVOID handle = nullptr;
  struct Case {
    const char* what;
    LPCGUID setting;
    DWORD flags;
    HANDLE recipient;
    PVOID* out;
  } cases[] = {
      {"no setting", nullptr, kServiceHandle, kRecipient, &handle},
      {"no handle slot", &kConsoleDisplayState, kServiceHandle, kRecipient, nullptr},
      {"no recipient", &kConsoleDisplayState, kServiceHandle, nullptr, &handle},
      {"window-handle flags", &kConsoleDisplayState, 0, kRecipient, &handle},
      {"unknown flags", &kConsoleDisplayState, 4, kRecipient, &handle},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              PowerSettingRegisterNotification(c.setting, c.flags, c.recipient, c.out))
        << c.what;
  }
  EXPECT_EQ(nullptr, handle);
}

TEST_F(PowerDouble, RegistrationsAreUnique_UnregisteredOnceEach) {
  PVOID first = nullptr, second = nullptr;
  ASSERT_EQ(0u, PowerSettingRegisterNotification(&kConsoleDisplayState, kServiceHandle, kRecipient, &first));
  ASSERT_EQ(0u, PowerSettingRegisterNotification(&kConsoleDisplayState, kServiceHandle, kRecipient, &second));
  EXPECT_NE(nullptr, first);
  EXPECT_NE(first, second);

  EXPECT_EQ(0u, PowerSettingUnregisterNotification(first));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), PowerSettingUnregisterNotification(first))
      << "a handle counts once";
  const auto record = ReadRecord();
  ASSERT_NE(nullptr, Recorded(record.registrations, first));
  EXPECT_FALSE(Recorded(record.registrations, first)->live);
  ASSERT_NE(nullptr, Recorded(record.registrations, second));
  EXPECT_TRUE(Recorded(record.registrations, second)->live);
  EXPECT_EQ(0u, PowerSettingUnregisterNotification(second));
}

TEST_F(PowerDouble, UnregisterOfAnUnknownHandleFails) {
  for (ULONG_PTR bogus : {ULONG_PTR{0}, ULONG_PTR{0xdeadbeef}, ~ULONG_PTR{0}}) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              PowerSettingUnregisterNotification(reinterpret_cast<PVOID>(bogus)))
        << bogus;
  }
}

struct Told {
  HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ULONG type = 0;
  GUID setting{};
  DWORD length = 0;
  DWORD value = 0xFFFFFFFF;
  int calls = 0;
  ~Told() { ::CloseHandle(event); }
};

ULONG CALLBACK Remember(PVOID context, ULONG type, PVOID data) {
  auto* told = static_cast<Told*>(context);
  const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(data);
  told->type = type;
  told->setting = setting->PowerSetting;
  told->length = setting->DataLength;
  if (setting->DataLength == sizeof(DWORD)) std::memcpy(&told->value, setting->Data, sizeof(DWORD));
  ++told->calls;
  ::SetEvent(told->event);
  return 0;
}

// "Immediately after registration, the callback will be invoked with the current
// value": the machine's, which kqdtb display-* set and a reset puts back to on.
TEST_F(PowerDouble, ACallbackIsToldTheMachinesCurrentValueOnce) {
  for (const DisplayState state : {DisplayState::Dimmed, DisplayState::Off, DisplayState::On}) {
    kqdtb::power::RequestDisplayState(state, 5000);  // this process answers it: no handler, nothing delivered
    ASSERT_EQ(state, kqdtb::power::ReadDisplayState());
    Told told;
    KqdDeviceNotifySubscribeParameters subscriber{&Remember, &told};
    PVOID handle = nullptr;
    ASSERT_EQ(0u, PowerSettingRegisterNotification(&kConsoleDisplayState, 2, &subscriber, &handle));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(told.event, 10000));
    EXPECT_EQ(static_cast<ULONG>(PBT_POWERSETTINGCHANGE), told.type);
    EXPECT_TRUE(IsEqualGUID(kConsoleDisplayState, told.setting));
    EXPECT_EQ(sizeof(DWORD), told.length);
    EXPECT_EQ(static_cast<DWORD>(state), told.value);
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(told.event, 200)) << "told once";
    EXPECT_EQ(1, told.calls);
    const auto record = ReadRecord();
    ASSERT_NE(nullptr, Recorded(record.registrations, handle));
    EXPECT_EQ(static_cast<DWORD>(state), Recorded(record.registrations, handle)->current.value_or(99));
    EXPECT_EQ(0u, PowerSettingUnregisterNotification(handle));
  }
}

DWORD WINAPI NeverCalled(DWORD, DWORD, LPVOID, LPVOID context) {
  ++*static_cast<int*>(context);
  return NO_ERROR;
}

// Outside a service Wine hands out no status handle, so the double has no handler
// to call: the request is answered, and nothing is delivered.
TEST_F(PowerDouble, RequestWithoutAServiceHandlerIsAnsweredNotDelivered) {
  int calls = 0;
  EXPECT_EQ(nullptr, ::RegisterServiceCtrlHandlerExW(L"KqdNoSuchService", &NeverCalled, &calls));
  PVOID handle = nullptr;
  ASSERT_EQ(0u, PowerSettingRegisterNotification(&kConsoleDisplayState, kServiceHandle, kRecipient, &handle));

  const auto before = ReadRecord();
  ASSERT_TRUE(before.process.has_value());
  EXPECT_EQ(::GetCurrentProcessId(), *before.process);
  const RequestResult result = kqdtb::power::RequestDisplayState(DisplayState::Off, 10000);
  ASSERT_EQ(RequestResult::Status::Answered, result.status);
  EXPECT_FALSE(result.Delivered());
  EXPECT_EQ(L"not delivered: no control handler", result.outcome);
  const auto after = ReadRecord();
  EXPECT_EQ(before.handled + 1, after.handled);
  EXPECT_EQ(before.delivered, after.delivered);
  ASSERT_TRUE(after.lastState.has_value());
  EXPECT_EQ(0u, *after.lastState);
  EXPECT_EQ(0, calls);
  EXPECT_EQ(0u, PowerSettingUnregisterNotification(handle));
}

LANGID WINAPI FakeUiLanguage() { return 0x4242; }

TEST(ImportPatch, AbsentImportChangesNothing) {
  void* original = reinterpret_cast<void*>(static_cast<ULONG_PTR>(1));
  EXPECT_FALSE(kqdtb::PatchImport(::GetModuleHandleW(nullptr), "KqdNoSuchImport",
                                         reinterpret_cast<void*>(&FakeUiLanguage), &original));
  EXPECT_EQ(reinterpret_cast<void*>(static_cast<ULONG_PTR>(1)), original);
  EXPECT_FALSE(kqdtb::PatchImport(nullptr, "GetSystemDefaultUILanguage", nullptr, &original));
}

}  // namespace
