#pragma once
// The service "KQD" through the service control manager's status notifications
// (an APC to the thread that asked, so the loop waits alertably). The service
// appearing, and going once it is deleted, shows in the Services key: Wine's
// manager answers ERROR_CALL_NOT_IMPLEMENTED for creation and deletion
// notifications, and the key works the same on Windows.

#include <windows.h>

#include "core/watch_events.h"
#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd::watch {

class ServiceWatch {
 public:
  // 0, or the Windows error when the manager or the Services key cannot be opened.
  DWORD Start();

  HANDLE ServicesKeyEvent() const { return servicesEvent_.get(); }
  const ServiceObservation& Current() const { return current_; }

  // After an alertable wait returned WAIT_IO_COMPLETION. 0 or the Windows error.
  DWORD OnNotified();
  // After the Services key's event. 0 or the Windows error.
  DWORD OnServicesKeyChanged();

 private:
  DWORD Open();
  DWORD Arm();
  static void CALLBACK OnStatusChange(void* parameter);

  win::UniqueScHandle manager_;
  win::UniqueScHandle service_;  // held while the service exists and is not marked for deletion
  win::UniqueHkey servicesKey_;
  win::Event servicesEvent_;
  // The manager writes into it until the callback has run or the handle is closed.
  SERVICE_NOTIFYW notify_{};
  bool notified_ = false;  // set by the callback, on this thread
  ServiceObservation current_;
};

}  // namespace kqd::watch
