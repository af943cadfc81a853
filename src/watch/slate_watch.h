#pragma once
// The slate state as this session sees it. Windows announces a change of
// GetSystemMetrics(SM_CONVERTIBLESLATEMODE) with a WM_SETTINGCHANGE broadcast whose
// lParam is "ConvertibleSlateMode"; broadcasts reach top-level windows only (not
// message-only ones), so a hidden top-level window on a thread of its own takes them
// and signals an event that the watch's loop waits on.

#include <windows.h>

#include <cstdint>

#include "core/watch_events.h"
#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd::watch {

class SlateWatch {
 public:
  SlateWatch() = default;
  // Ends the window's thread, which destroys its window, and waits for it.
  ~SlateWatch();
  SlateWatch(const SlateWatch&) = delete;
  SlateWatch& operator=(const SlateWatch&) = delete;

  // 0 once the window exists, or the Windows error that kept it from being made.
  DWORD Start();

  // Auto-reset: set on each announcement; read the state after it.
  HANDLE ChangedEvent() const { return changed_.get(); }
  // Signalled should the window's thread end before the watch does.
  HANDLE Thread() const { return thread_.get(); }

  static int32_t Read();
  // The slate-toggle interfaces present now, as the service lists them.
  static SlateInterfaceList ListToggleDevices();

 private:
  static DWORD WINAPI Run(LPVOID parameter);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  DWORD Pump();

  win::Event changed_;
  win::Event ready_;  // manual-reset: the window exists, or the thread gave up
  win::UniqueHandleNull thread_;
  DWORD threadId_ = 0;
  HWND window_ = nullptr;  // the thread's; written before ready_ is set
  DWORD startError_ = 0;   // why there is no window; written before ready_ is set
};

}  // namespace kqd::watch
