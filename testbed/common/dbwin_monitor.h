#pragma once
// A debugger-output monitor: receives OutputDebugString lines of every process
// in the prefix through the DBWIN_BUFFER protocol. One may run at a time.

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace kqdtb {

class DbwinMonitor {
 public:
  using LineFn = std::function<void(DWORD pid, const std::string& text)>;

  explicit DbwinMonitor(LineFn onLine);
  ~DbwinMonitor();
  DbwinMonitor(const DbwinMonitor&) = delete;
  DbwinMonitor& operator=(const DbwinMonitor&) = delete;

  // False when another monitor already owns the buffer or an object cannot be made.
  bool Start();
  void Stop();

 private:
  void Loop();

  LineFn onLine_;
  HANDLE bufferReady_ = nullptr;
  HANDLE dataReady_ = nullptr;
  HANDLE mapping_ = nullptr;
  const char* view_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kqdtb
