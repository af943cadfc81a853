#pragma once
// The Sensor API mode source: finds the custom G-sensor "Tavmir Zarn", attaches
// its report sink, and stays the sensor manager's event sink so that a sensor
// that arrives later takes over as the controller's source.

#include <windows.h>
#include <sensorsapi.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "mode/mode_sources.h"
#include "win/com_object.h"
#include "win/com_ptr.h"

namespace kqd {

class CSensorEvents;
class CZarnModeController;

class CSensorManagerEvents final : public win::ComObject<ISensorManagerEvents>, public ISensorModeSource {
 public:
  explicit CSensorManagerEvents(CZarnModeController& controller);
  // Also undoes what a Detach that found nothing to detach left registered.
  ~CSensorManagerEvents() override;

  HRESULT Connect() override;
  int IsSensorFound() override { return found_.load(); }
  HRESULT Attach() override;
  HRESULT Detach() override;

  HRESULT STDMETHODCALLTYPE OnSensorEnter(ISensor* sensor, SensorState state) override;

  CSensorEvents* sink() const { return sink_; }

 private:
  HRESULT SearchSensors();
  void KeepSensor(ISensor* sensor);
  HRESULT AttachLocked();  // under the sink's lock

  win::ComPtr<ISensorManager> manager_;
  // Guards sensor_ and attached_; taken last and never held across a call out,
  // so that Detach can take the sink back while a report is being read.
  std::mutex sensorsLock_;
  win::ComPtr<ISensor> sensor_;
  CSensorEvents* sink_ = nullptr;  // one reference, ours
  CZarnModeController* const controller_;
  std::atomic<int> found_{0};
  // Every sensor the sink was given to, so that Detach takes it back from each.
  std::vector<win::ComPtr<ISensor>> attached_;
  bool managerSinkSet_ = false;  // control thread only
};

}  // namespace kqd
