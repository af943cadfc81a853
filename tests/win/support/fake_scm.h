#pragma once
// Stands in for the service control manager around any CServiceBase: Run hands
// ServiceMain a thread as the dispatcher would, then plays `script` on the
// dispatcher thread, where the control handler runs; status reports, power
// registrations and the worker's queueing are captured.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "service/service_base.h"

namespace kqdtest {

inline HPOWERNOTIFY FakeRegistration(int index) {
  return reinterpret_cast<HPOWERNOTIFY>(static_cast<intptr_t>(0x100 + index));
}

inline DWORD Control(DWORD control, DWORD eventType = 0, void* data = nullptr) {
  return kqd::CServiceBase::ServiceCtrlHandler(control, eventType, data, nullptr);
}

// A power-setting payload as Windows delivers it with SERVICE_CONTROL_POWEREVENT.
struct PowerSetting {
  PowerSetting(const GUID& guid, BYTE value) {
    setting.PowerSetting = guid;
    setting.DataLength = sizeof(DWORD);
    setting.Data[0] = value;
  }
  union {
    POWERBROADCAST_SETTING setting;
    BYTE bytes[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
  };
};

// Console display: 0 off, 1 on, 2 dimmed.
inline DWORD Display(BYTE value) {
  PowerSetting payload(kqd::kRegisteredPowerSettings[1], value);
  return Control(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &payload.setting);
}

// "CServiceStopped" is one name per session: a KQD service running in the prefix
// would share the event with the test's service and spoil every result.
inline PCWSTR CheckedServiceName(PCWSTR name) {
  HANDLE existing = ::OpenEventW(SYNCHRONIZE, FALSE, L"CServiceStopped");
  EXPECT_EQ(existing, nullptr) << "a KQD service is running in this prefix; remove it first";
  if (existing != nullptr) ::CloseHandle(existing);
  return name;
}

template <typename Service>
class FakeScm : public Service {
 public:
  using Service::Service;

  std::function<void()> script = [] {};
  DWORD queueError = 0;         // non-zero: queueing the worker fails with it
  int failRegistrationAt = -1;  // this power registration fails
  bool failHandlerRegistration = false;

  std::vector<SERVICE_STATUS> Reports() {
    std::lock_guard lock(scmMutex_);
    return reports_;
  }
  std::vector<HPOWERNOTIFY> Unregistered() {
    std::lock_guard lock(scmMutex_);
    return unregistered_;
  }
  std::vector<GUID> Registered() {
    std::lock_guard lock(scmMutex_);
    return registered_;
  }

 protected:
  BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table) override {
    std::thread serviceThread(table[0].lpServiceProc, 0, nullptr);
    serviceThread.join();
    script();
    return TRUE;
  }
  SERVICE_STATUS_HANDLE RegisterControlHandler(PCWSTR, LPHANDLER_FUNCTION_EX) override {
    return failHandlerRegistration ? nullptr : kStatusHandle;
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
    EXPECT_EQ(handle, kStatusHandle);
    std::lock_guard lock(scmMutex_);
    reports_.push_back(*status);
    return TRUE;
  }
  DWORD RegisterPowerSetting(const GUID& setting, SERVICE_STATUS_HANDLE recipient,
                             HPOWERNOTIFY* registration) override {
    EXPECT_EQ(recipient, kStatusHandle);
    std::lock_guard lock(scmMutex_);
    const int index = static_cast<int>(registered_.size());
    registered_.push_back(setting);
    if (index == failRegistrationAt) {
      *registration = FakeRegistration(0xBAD);  // garbage the framework must not keep
      return ERROR_INVALID_PARAMETER;
    }
    *registration = FakeRegistration(index);
    return ERROR_SUCCESS;
  }
  DWORD UnregisterPowerSetting(HPOWERNOTIFY registration) override {
    std::lock_guard lock(scmMutex_);
    unregistered_.push_back(registration);
    return ERROR_SUCCESS;
  }
  BOOL QueueUserWork(LPTHREAD_START_ROUTINE routine, PVOID context, ULONG flags) override {
    if (queueError != 0) {
      ::SetLastError(queueError);
      return FALSE;
    }
    EXPECT_EQ(flags, static_cast<ULONG>(WT_EXECUTELONGFUNCTION));
    return Service::QueueUserWork(routine, context, flags);
  }

 private:
  inline static const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5151);
  std::mutex scmMutex_;
  std::vector<SERVICE_STATUS> reports_;
  std::vector<HPOWERNOTIFY> unregistered_;
  std::vector<GUID> registered_;
};

}  // namespace kqdtest
