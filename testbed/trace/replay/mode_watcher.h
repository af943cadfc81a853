#pragma once
// Watches one REG_DWORD through registry change notifications and keeps, for each
// wake, the performance-counter time of the wake and the value read after it.
// Several writes between two wakes show as one, and under Wine a write of the value
// already stored shows not at all (its server skips it, notification included).
// A key that appears later is picked up; one deleted while watched is not followed
// (Wine does not signal the deletion), which the service does only when removing itself.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "win/unique_handle.h"

namespace kqdtb::replay {

struct ValueWake {
  std::uint64_t time = 0;              // 100 ns units of the performance counter
  std::optional<std::uint32_t> value;  // none: absent or not a DWORD
};

// The stored mode value, read the way the service writes it (64-bit view).
std::optional<std::uint32_t> ReadDword(HKEY root, const std::wstring& keyPath, const std::wstring& valueName);

class ModeWatcher {
 public:
  ModeWatcher(HKEY root, std::wstring keyPath, std::wstring valueName);
  ~ModeWatcher();
  ModeWatcher(const ModeWatcher&) = delete;
  ModeWatcher& operator=(const ModeWatcher&) = delete;

  // Starts the thread and returns once its first notification is armed (on the
  // key, or on the nearest existing parent while the key is missing). False when
  // that did not happen within the limit.
  bool Start(DWORD limitMs = 5000);
  // Ends the thread; the wakes stay readable.
  void Stop();
  std::vector<ValueWake> Wakes() const;

 private:
  void Run();
  // Opens the key; false when it is missing.
  bool OpenKey();
  // Arms a notification on the nearest existing parent for any new subkey below it.
  bool ArmOnParent();
  void Record(std::uint64_t time);

  HKEY root_;
  std::wstring keyPath_;
  std::wstring valueName_;
  kqd::win::UniqueHkey key_;
  kqd::win::UniqueHkey parent_;
  kqd::win::UniqueHandleNull changed_;
  kqd::win::UniqueHandleNull stop_;
  kqd::win::UniqueHandleNull armed_;
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<ValueWake> wakes_;
};

}  // namespace kqdtb::replay
