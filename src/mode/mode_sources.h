#pragma once
// The three mode sources as the controller drives them. Each source object is made
// for one controller and lives at most as long as one run of the sources.

#include <windows.h>

#include <functional>
#include <memory>

namespace kqd {

class CZarnModeController;

class IWmiModeSource {
 public:
  virtual ~IWmiModeSource() = default;  // joins the source's thread
  // 1 when the provider answered (and SetMode was called), else 0.
  virtual int QueryUsageMode() = 0;
  virtual void StartThread() = 0;
  virtual void RequestQuery() = 0;
  virtual void Stop() = 0;  // stop flag and stop event; the destructor waits
};

class ISensorModeSource {
 public:
  virtual ~ISensorModeSource() = default;
  virtual HRESULT Connect() = 0;
  virtual int IsSensorFound() = 0;
  virtual HRESULT Attach() = 0;
  virtual HRESULT Detach() = 0;  // the sink is removed and its threads have ended
};

class IDriverModeSource {
 public:
  virtual ~IDriverModeSource() = default;  // closes its event and device
  // 1 when the driver delivered a non-zero mode (already set and announced), else 0.
  virtual int Probe() = 0;
  virtual void StartWatch() = 0;
  virtual void StopWatch() = 0;
};

// How the controller makes its sources. Each product source is constructed with
// the controller (`explicit CXxx(CZarnModeController&)`); a factory that is empty or returns null
// means the source is unavailable on this machine.
struct ModeSourceFactory {
  std::function<std::unique_ptr<IWmiModeSource>(CZarnModeController&)> wmi;
  std::function<std::unique_ptr<ISensorModeSource>(CZarnModeController&)> sensor;
  std::function<std::unique_ptr<IDriverModeSource>(CZarnModeController&)> driver;
};

// The product's sources; the controller tries them in kModeSources' order.
ModeSourceFactory DefaultModeSources();

}  // namespace kqd
