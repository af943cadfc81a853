#include "sources/driver_mode_source.h"

#include "core/driver_mode.h"
#include "mode/mode_event.h"
#include "mode/zarn_mode_controller.h"

namespace kqd {
namespace {

// Not in every SDK's headers.
constexpr DWORD kIgnoreImpersonatedDeviceMap = 0x00020000;

constexpr DWORD kAllNotifyFilters =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

bool ReadType2(HKEY key, DWORD& value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegQueryValueExW(key, kDriverNotificationValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&data),
                         &size) != ERROR_SUCCESS) {
    return false;
  }
  value = data;
  return true;
}

}  // namespace

CDriverModeSource::CDriverModeSource(CZarnModeController& controller)
    : controller_(&controller),
      stopEvent_(win::Event::Auto()),
      device_(::CreateFileW(kDriverDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, kIgnoreImpersonatedDeviceMap, nullptr)) {}

CDriverModeSource::~CDriverModeSource() {
  // The watch thread uses this object: never free it under a running thread.
  if (thread_) StopWatch();
}

void CDriverModeSource::QueryDriverMode() {
  if (!device_ || device_.get() == nullptr) return;
  DWORD answer = 0;
  DWORD returned = 0;
  if (::DeviceIoControl(device_.get(), kDriverModeControlCode, nullptr, 0, &answer, sizeof(answer), &returned,
                        nullptr) != TRUE) {
    return;
  }
  controller_->SetMode(UsageModeFromDriverAnswer(answer));
}

int CDriverModeSource::Probe() {
  QueryDriverMode();
  // The controller's mode decides, so an unreachable driver keeps what it held.
  if (controller_->GetMode() == 0) return 0;
  SignalModeChange();
  return 1;
}

void CDriverModeSource::StartWatch() {
  if (thread_) return;  // one watch thread per source
  stopFlag_.store(0);
  thread_.reset(::CreateThread(nullptr, 0, &CDriverModeSource::DriverWatchThread, this, 0, nullptr));
}

void CDriverModeSource::StopWatch() {
  stopFlag_.store(1);
  stopEvent_.Set();
  if (thread_) {
    ::WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
}

DWORD WINAPI CDriverModeSource::DriverWatchThread(LPVOID parameter) {
  static_cast<CDriverModeSource*>(parameter)->WatchType2();
  return 0;
}

void CDriverModeSource::WatchType2() {
  win::UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverNotificationKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }

  DWORD remembered = 0;
  if (!ReadType2(key.get(), remembered)) return;

  // Manual reset: each registration resets it, so the thread never does.
  const win::Event changed = win::Event::Manual();
  if (!changed) return;

  const HANDLE waits[] = {stopEvent_.get(), changed.get()};
  for (;;) {
    if (::RegNotifyChangeKeyValue(key.get(), TRUE, kAllNotifyFilters, changed.get(), TRUE) != ERROR_SUCCESS) return;
    // Read once registered: a flip made while the driver was being asked, before this
    // registration, signals nothing and would be lost (and the next flip would then
    // look like none).
    DWORD current = 0;
    if (ReadType2(key.get(), current) && Type2QueryBitFlipped(remembered, current)) {
      remembered = current;
      QueryDriverMode();
      SignalModeChange();
    }
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (stopFlag_.load() != 0) return;
    // A wait that cannot be made (no stop event) would otherwise spin here forever.
    if (woke == WAIT_FAILED) return;
  }
}

}  // namespace kqd
