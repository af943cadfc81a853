#pragma once
// Owns the usage mode, selects and runs one mode source on its control thread,
// and forwards changes through the broadcaster.

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "mode/mode_reader.h"
#include "mode/mode_sources.h"
#include "win/event.h"

namespace kqd {

class CModeBroadcaster;

class CZarnModeController final : public IModeReader {
 public:
  explicit CZarnModeController(ModeSourceFactory sources = DefaultModeSources());
  ~CZarnModeController();
  CZarnModeController(const CZarnModeController&) = delete;
  CZarnModeController& operator=(const CZarnModeController&) = delete;

  void RequestStart();
  void RequestStop();

  UsageMode GetMode() override;
  void SetMode(UsageMode mode);
  BroadcastSwitches GetSwitches() override;
  void SetSourceKind(ModeSourceKind kind) { sourceKind_.store(kind); }
  ModeSourceKind GetSourceKind() const { return sourceKind_.load(); }
  // Set once StartSources has returned, cleared once StopSources has.
  bool SourcesRunning() const { return sourcesRunning_.load(); }

  // From any thread. Runs on the control thread, so that source selection, the
  // source slots and the broadcaster slot are only ever touched there.
  void ApplySource();

 private:
  void ControlThread();
  void StartSources();
  bool StartSource(ModeSourceKind kind);  // true: it is the selected source now
  void StopSources();
  void ApplySourceOnControlThread();

  win::Event stopSourcesEvent_;
  win::Event startSourcesEvent_;
  win::Event quitEvent_;
  win::Event applyEvent_;
  std::thread controlThread_;
  std::atomic<bool> sourcesRunning_{false};  // written by the control thread only
  std::atomic<bool> quitRequested_{false};
  bool comInitialized_ = false;

  std::mutex controllerLock_;  // the mode and the switches, nothing else
  BroadcastSwitches switches_;
  std::atomic<ModeSourceKind> sourceKind_{kSourceNone};
  UsageMode mode_ = 0;

  ModeSourceFactory sourceFactory_;
  std::unique_ptr<ISensorModeSource> sensorSource_;
  std::unique_ptr<IWmiModeSource> wmiSource_;
  std::unique_ptr<IDriverModeSource> driverSource_;
  std::unique_ptr<CModeBroadcaster> broadcaster_;
};

}  // namespace kqd
