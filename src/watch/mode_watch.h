#pragma once
// "Mode" under HKLM\SOFTWARE\Tavmir\TarsiMode, in the service's registry view. The
// key may not exist yet or be deleted, so the watch takes the vendor key "Tavmir"
// with its whole subtree while it exists, and the direct subkeys of SOFTWARE so that
// "Tavmir" itself appearing or going is seen as well.

#include <windows.h>

#include "core/watch_events.h"
#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd::watch {

class ModeWatch {
 public:
  // 0, or the Windows error when SOFTWARE cannot be opened or watched.
  DWORD Start();

  HANDLE SoftwareEvent() const { return softwareEvent_.get(); }
  HANDLE VendorEvent() const { return vendorEvent_.get(); }

  // After one of the two events: re-arms what fired, before "Mode" is read again,
  // so a change made while reading wakes the loop once more. 0 or the Windows error.
  DWORD Rearm(bool softwareFired, bool vendorFired);

  StoredModeState Read() const;

 private:
  DWORD ArmSoftware();
  DWORD ArmVendor();
  void WatchVendorKey();

  win::Event softwareEvent_;
  win::Event vendorEvent_;
  win::UniqueHkey software_;
  win::UniqueHkey vendor_;  // absent while "Tavmir" is
};

}  // namespace kqd::watch
