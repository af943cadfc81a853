#pragma once
// Forwards every announced mode to the slate-toggle device, the energy-management
// driver and the registry, from one watcher thread.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "core/slate_toggle.h"
#include "mode/mode_reader.h"
#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd {

inline constexpr wchar_t kPwrAuxDevicePath[] = L"\\\\.\\PwrAuxDrv";

class CModeBroadcaster {
 public:
  // Copies the switches once and opens the first present slate-toggle interface.
  explicit CModeBroadcaster(IModeReader& controller);
  // Ends a watcher that is still running, so no thread outlives the object.
  ~CModeBroadcaster();
  CModeBroadcaster(const CModeBroadcaster&) = delete;
  CModeBroadcaster& operator=(const CModeBroadcaster&) = delete;

  // Starts the watcher thread, which owns "EventModeChange" while it runs, and
  // returns once the event exists. A second call while a watcher exists does nothing.
  void StartWatcher();
  // Ends the watcher and waits for it without a time-out.
  void StopWatcher();
  // Attach (10) or detach (11), up to five attempts 200 ms apart.
  void SendPwrAuxCode(bool detach);
  void CloseDevice();

  // INVALID_HANDLE_VALUE when no slate-toggle device was opened (or it was closed).
  HANDLE SlateDevice() const { return slateDevice_.get(); }

 private:
  static DWORD WINAPI WatcherThread(LPVOID parameter);
  void Watch();
  void Forward();
  // announced: a mode announcement; otherwise a look at a toggle still on its way.
  void SyncSlateState(bool announced);
  void NotifyPwrAux();

  std::atomic<uint32_t> stop_{0};
  win::UniqueFile slateDevice_;
  win::UniqueHandleNull watcher_;
  BroadcastSwitches switches_{0, 0, 0};
  IModeReader* controller_;
  // Manual-reset, unnamed: wakes the watcher at stop even when another process
  // waiting on the named event takes its one signal.
  win::Event stopEvent_;
  win::Event watcherReady_;  // manual-reset: the watcher has made "EventModeChange"
  SlateToggleTracker slateToggle_;      // the watcher's alone
};

}  // namespace kqd
