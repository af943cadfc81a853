#include "mode/mode_broadcaster.h"

#include <cwchar>
#include <string>
#include <vector>

#include "core/broadcast_rules.h"
#include "core/slate_toggle.h"
#include "mode/mode_event.h"
#include "mode/mode_store.h"
#include "mode/slate_interfaces.h"
#include "win/output.h"

namespace kqd {
namespace {

constexpr std::size_t kDevicePathChars = 1024;
constexpr int kPwrAuxAttempts = 5;
constexpr DWORD kPwrAuxRetryPauseMs = 200;
constexpr DWORD kStopSignalPauseMs = 5;

// The first present slate-toggle interface, INVALID_HANDLE_VALUE when there is none.
win::UniqueFile OpenSlateToggleDevice() {
  std::vector<std::wstring> paths;
  if (ListSlateToggleInterfaces(paths) != CR_SUCCESS || paths.empty()) return {};
  // Cut to the service's path buffer of 1024 characters and its terminator.
  std::wstring& path = paths.front();
  if (path.size() > kDevicePathChars - 1) path.resize(kDevicePathChars - 1);
  return win::UniqueFile{::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
}

// The notify request needs no access rights on the handle.
win::UniqueFile OpenPwrAux() {
  return win::UniqueFile{::CreateFileW(kPwrAuxDevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr)};
}

bool SendPwrAuxRequest(HANDLE device, uint32_t codeOrMode) {
  PwrAuxRequestBytes request = EncodePwrAuxRequest(codeOrMode);
  DWORD returned = 0;
  return ::DeviceIoControl(device, kPwrAuxNotifyControlCode, request.data(), kPwrAuxRequestSize, nullptr, 0,
                           &returned, nullptr) != FALSE;
}

}  // namespace

CModeBroadcaster::CModeBroadcaster(IModeReader& controller) : controller_(&controller) {
  switches_ = controller_->GetSwitches();
  slateDevice_ = OpenSlateToggleDevice();
  stopEvent_ = win::Event::Manual();
  watcherReady_ = win::Event::Manual();
}

CModeBroadcaster::~CModeBroadcaster() {
  if (watcher_) StopWatcher();
}

void CModeBroadcaster::StartWatcher() {
  if (watcher_) return;
  stop_ = 0;
  stopEvent_.Reset();
  watcherReady_.Reset();
  watcher_.reset(::CreateThread(nullptr, 0, &CModeBroadcaster::WatcherThread, this, 0, nullptr));
  // A source that publishes right after the start would find no event yet and its
  // mode would be lost: return once the watcher owns the event (or has ended).
  if (watcher_ && watcherReady_) {
    const HANDLE waits[] = {watcherReady_.get(), watcher_.get()};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
}

void CModeBroadcaster::StopWatcher() {
  stop_ = 1;
  if (SignalModeChange()) ::Sleep(kStopSignalPauseMs);
  stopEvent_.Set();
  if (watcher_) {
    ::WaitForSingleObject(watcher_.get(), INFINITE);
    watcher_.reset();
  }
}

void CModeBroadcaster::SendPwrAuxCode(bool detach) {
  const win::UniqueFile device = OpenPwrAux();
  if (!device) return;
  const uint32_t code = detach ? kPwrAuxDetach : kPwrAuxAttach;
  for (int attempt = 0; attempt < kPwrAuxAttempts; ++attempt) {
    if (SendPwrAuxRequest(device.get(), code)) return;
    ::Sleep(kPwrAuxRetryPauseMs);
  }
}

void CModeBroadcaster::CloseDevice() { slateDevice_.reset(); }

DWORD WINAPI CModeBroadcaster::WatcherThread(LPVOID parameter) {
  // A controller whose lock fails throws; the watcher then ends rather than the process.
  try {
    static_cast<CModeBroadcaster*>(parameter)->Watch();
  } catch (...) {
  }
  return 0;
}

void CModeBroadcaster::Watch() {
  const win::Event modeEvent = win::Event::Auto(kModeChangeEventName);
  watcherReady_.Set();
  if (!modeEvent) return;
  const HANDLE waits[] = {modeEvent.get(), stopEvent_.get()};
  const DWORD waitCount = stopEvent_ ? 2 : 1;
  for (;;) {
    // Idle waits have no time-out; only a toggle of ours on its way is looked after.
    const DWORD timeout = slateToggle_.InFlight() ? kSlateTogglePollMs : INFINITE;
    const DWORD result = ::WaitForMultipleObjects(waitCount, waits, FALSE, timeout);
    if (stop_ != 0) break;
    if (result == WAIT_OBJECT_0) {
      // Another process may have made the event manual-reset before us: one wake,
      // one forward. A signal after this reset is one more wake, and the mode it
      // announced is read after it anyway.
      modeEvent.Reset();
      Forward();
    } else if (result == WAIT_TIMEOUT) {
      SyncSlateState(false);
    }
    // Waiting again on handles the wait rejects would only spin.
    if (result == WAIT_FAILED) break;
  }
}

void CModeBroadcaster::Forward() {
  SyncSlateState(true);
  NotifyPwrAux();
  WriteStoredMode(controller_->GetMode());
}

void CModeBroadcaster::SyncSlateState(bool announced) {
  if (switches_.SlateSync == 0) return;
  const UsageMode mode = controller_->GetMode();
  const uint64_t now = ::GetTickCount64();
  const SlateDecision decision =
      slateToggle_.Decide(mode, ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE), now, announced);
  if (decision.gaveUp) {
    wchar_t line[128];
    std::swprintf(line, 128, L"<kqd>: slate toggle not shown within %u ms, the system's slate state is trusted again.\r\n",
                  static_cast<unsigned>(kSlateToggleShowLimitMs));
    win::DebugOut(line);
  }
  if (!decision.write) return;
  // Held by another process or not there yet at construction: it may be free now.
  if (!slateDevice_) slateDevice_ = OpenSlateToggleDevice();
  if (!slateDevice_) return;
  const BYTE toggle = 0x00;
  DWORD written = 0;
  if (::WriteFile(slateDevice_.get(), &toggle, 1, &written, nullptr) && written == 1) slateToggle_.Written(now);
}

void CModeBroadcaster::NotifyPwrAux() {
  const win::UniqueFile device = OpenPwrAux();
  if (!device) return;
  // Both requests carry the mode read once here.
  for (const uint32_t value : PwrAuxRequestsFor(controller_->GetMode(), switches_)) {
    SendPwrAuxRequest(device.get(), value);
  }
}

}  // namespace kqd
