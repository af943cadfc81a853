#pragma once
// The power-management driver as a mode source: asks "\\.\DAVODIRA" for the mode
// and asks again whenever its sibling service flips bit 29 of "Type2".

#include <windows.h>

#include <atomic>

#include "mode/mode_sources.h"
#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd {

class CZarnModeController;

inline constexpr wchar_t kDriverDevicePath[] = L"\\\\.\\DAVODIRA";
inline constexpr wchar_t kDriverNotificationKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Services\\VOREDUZE\\Parameters\\Notification";
inline constexpr wchar_t kDriverNotificationValueName[] = L"Type2";

class CDriverModeSource final : public IDriverModeSource {
 public:
  explicit CDriverModeSource(CZarnModeController& controller);
  ~CDriverModeSource() override;
  CDriverModeSource(const CDriverModeSource&) = delete;
  CDriverModeSource& operator=(const CDriverModeSource&) = delete;

  int Probe() override;
  void StartWatch() override;
  void StopWatch() override;

  // One request to the driver; the controller's mode changes only when it answered.
  void QueryDriverMode();

 private:
  static DWORD WINAPI DriverWatchThread(LPVOID parameter);
  void WatchType2();

  CZarnModeController* controller_;
  std::atomic<LONG> stopFlag_{0};
  win::Event stopEvent_;
  win::UniqueHandleNull thread_;
  win::UniqueFile device_;
};

}  // namespace kqd
