#include "mode/zarn_mode_controller.h"

#include <objbase.h>

#include <new>

#include "core/mode_source_table.h"
#include "mode/mode_broadcaster.h"
#include "mode/mode_event.h"
#include "mode/mode_store.h"
#include "win/com_init.h"
#include "win/output.h"

namespace kqd {
namespace {

// A source that cannot even be allocated counts as unavailable.
template <typename Source>
std::unique_ptr<Source> MakeSource(
    const std::function<std::unique_ptr<Source>(CZarnModeController&)>& make, CZarnModeController& controller) {
  if (!make) return nullptr;
  try {
    return make(controller);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

CZarnModeController::CZarnModeController(ModeSourceFactory sources) : sourceFactory_(std::move(sources)) {
  comInitialized_ = win::InitializeComWithRetry();
  if (!comInitialized_) win::ConsoleOut(L"Failed init COM at CZarnModeController.\n");

  stopSourcesEvent_ = win::Event::Auto();
  startSourcesEvent_ = win::Event::Auto();
  quitEvent_ = win::Event::Auto();
  applyEvent_ = win::Event::Auto();

  // Readers see "unknown" until the first broadcast.
  if (!WriteDwordValue(HKEY_LOCAL_MACHINE, kModeKeyPath, kModeValueName, 0)) {
    win::DebugOut(L"<kqd>: faild to set KQD mode value.\r\n");
  }
  controlThread_ = std::thread([this] { ControlThread(); });
}

CZarnModeController::~CZarnModeController() {
  if (quitEvent_) {
    quitRequested_.store(true);
    quitEvent_.Set();
  }
  if (controlThread_.joinable()) controlThread_.join();
  startSourcesEvent_ = {};
  stopSourcesEvent_ = {};
  quitEvent_ = {};
  applyEvent_ = {};
  // Only an initialisation that succeeded is balanced; a failed one added nothing.
  if (comInitialized_) ::CoUninitialize();
}

void CZarnModeController::RequestStart() {
  startSourcesEvent_.Set();
}

void CZarnModeController::RequestStop() {
  stopSourcesEvent_.Set();
}

UsageMode CZarnModeController::GetMode() {
  std::lock_guard lock(controllerLock_);
  return mode_;
}

void CZarnModeController::SetMode(UsageMode mode) {
  std::lock_guard lock(controllerLock_);
  mode_ = mode;
}

BroadcastSwitches CZarnModeController::GetSwitches() {
  std::lock_guard lock(controllerLock_);
  return switches_;
}

void CZarnModeController::ApplySource() {
  if (std::this_thread::get_id() == controlThread_.get_id()) {
    ApplySourceOnControlThread();
  } else {
    applyEvent_.Set();
  }
}

void CZarnModeController::ControlThread() {
  if (!stopSourcesEvent_ || !startSourcesEvent_ || !quitEvent_ || !applyEvent_) return;
  const HANDLE events[] = {stopSourcesEvent_.get(), startSourcesEvent_.get(), quitEvent_.get(), applyEvent_.get()};
  for (;;) {
    const DWORD woke = ::WaitForMultipleObjects(4, events, FALSE, INFINITE);
    if (quitRequested_.load()) break;
    if (woke == WAIT_OBJECT_0 && sourcesRunning_.load()) {
      StopSources();
      sourcesRunning_.store(false);
    } else if (woke == WAIT_OBJECT_0 + 1 && !sourcesRunning_.load()) {
      StartSources();
      sourcesRunning_.store(true);
    } else if (woke == WAIT_OBJECT_0 + 3 && sourcesRunning_.load()) {
      ApplySourceOnControlThread();  // a source that arrived late
    }
  }
  if (sourcesRunning_.load()) {
    StopSources();
    sourcesRunning_.store(false);
  }
}

void CZarnModeController::StartSources() {
  sourceKind_.store(kSourceNone);
  SetMode(0);
  for (const ModeSourceInfo& source : kModeSources) {
    if (StartSource(source.kind)) break;
  }
  ApplySourceOnControlThread();
}

// The kind is stored before the source's thread starts, which may already ask for it.
bool CZarnModeController::StartSource(ModeSourceKind kind) {
  switch (kind) {
    case kSourceWmi:
      wmiSource_ = MakeSource(sourceFactory_.wmi, *this);
      if (!wmiSource_) return false;
      if (wmiSource_->QueryUsageMode() != 1) {
        wmiSource_->Stop();
        wmiSource_.reset();
        return false;
      }
      sourceKind_.store(kSourceWmi);
      wmiSource_->StartThread();
      return true;
    case kSourceSensorApi:
      // Kept even when it fails: its sensor may still arrive later.
      sensorSource_ = MakeSource(sourceFactory_.sensor, *this);
      if (!sensorSource_ || FAILED(sensorSource_->Connect()) || sensorSource_->IsSensorFound() != 1 ||
          FAILED(sensorSource_->Attach())) {
        return false;
      }
      sourceKind_.store(kSourceSensorApi);
      return true;
    case kSourceDriver:
      driverSource_ = MakeSource(sourceFactory_.driver, *this);
      if (!driverSource_ || driverSource_->Probe() != 1) return false;
      sourceKind_.store(kSourceDriver);
      driverSource_->StartWatch();
      return true;
    case kSourceNone:
      break;
  }
  return false;
}

void CZarnModeController::ApplySourceOnControlThread() {
  const ModeSourceKind kind = sourceKind_.load();
  if (const ModeSourceInfo* source = FindModeSource(kind)) {
    std::lock_guard lock(controllerLock_);
    switches_ = source->switches;
  }

  if (kind != kSourceNone) {
    bool created = false;
    if (!broadcaster_) {
      try {
        broadcaster_ = std::make_unique<CModeBroadcaster>(*this);
        broadcaster_->StartWatcher();
        created = true;
      } catch (const std::bad_alloc&) {
        broadcaster_.reset();
      }
    }
    if (broadcaster_) broadcaster_->SendPwrAuxCode(false);
    // The driver's first answer was announced before there was a watcher to hear it;
    // without this the stored mode would stay unknown until the first flip.
    if (created && kind == kSourceDriver && GetMode() != 0) SignalModeChange();
  }

  if (kind == kSourceWmi && ReadStoredMode() == 0 && wmiSource_) wmiSource_->RequestQuery();
}

void CZarnModeController::StopSources() {
  if (sensorSource_) {
    sensorSource_->Detach();
    sensorSource_.reset();
  }
  if (wmiSource_) {
    wmiSource_->Stop();
    wmiSource_.reset();
  }
  if (driverSource_) {
    driverSource_->StopWatch();
    driverSource_.reset();
  }
  if (broadcaster_) {
    broadcaster_->StopWatcher();
    broadcaster_->SendPwrAuxCode(true);
    broadcaster_->CloseDevice();
    broadcaster_.reset();
  }
}

}  // namespace kqd
