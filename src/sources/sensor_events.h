#pragma once
// The sink that receives the G-sensor's data reports, keeps the custom fields in
// the sensor value table and runs the evaluation thread: kSensorDebounceMs after the
// last report of a burst it applies the posture rule and announces a new mode.

#include <windows.h>
#include <sensorsapi.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/mode_source_table.h"
#include "sources/sensor_value_table.h"
#include "win/com_object.h"
#include "win/event.h"

namespace kqd {

class CZarnModeController;

// What a closed sink answers: the platform may still hold it and call it.
inline constexpr HRESULT kSensorSinkClosed = RPC_E_DISCONNECTED;

class CSensorEvents final : public win::ComObject<ISensorEvents> {
 public:
  explicit CSensorEvents(CZarnModeController* controller);

  HRESULT STDMETHODCALLTYPE OnStateChanged(ISensor* sensor, SensorState state) override;
  HRESULT STDMETHODCALLTYPE OnDataUpdated(ISensor* sensor, ISensorDataReport* report) override;
  HRESULT STDMETHODCALLTYPE OnEvent(ISensor* sensor, REFGUID eventId, IPortableDeviceValues* data) override;
  HRESULT STDMETHODCALLTYPE OnLeave(REFSENSOR_ID id) override;

  // Guards the table, the callback thread list and the closed state. The owner
  // holds it while it attaches the sink to a sensor.
  std::mutex& lock() { return lock_; }

  // Under lock(): starts the evaluation thread unless one runs. Fails once closed.
  HRESULT StartEvaluationLocked();
  bool IsClosedLocked() const { return closed_; }

  // Waits for a report being read to finish; later reports are refused. The
  // callback threads are forgotten, not waited for: the platform may keep them.
  void Close();
  // Stops and joins the evaluation thread, if one runs. Not under lock().
  void StopEvaluation();

  // The rows as they are now.
  std::vector<SensorValueSlot> Values();

 private:
  ~CSensorEvents() override;  // through Release only
  HRESULT ReadSensorReport(ISensor* sensor, ISensorDataReport* report);
  void EvaluateReports();

  std::mutex lock_;
  std::vector<DWORD> callbackThreads_;
  CZarnModeController* const controller_;
  std::atomic<bool> stop_{false};
  bool closed_ = false;
  std::vector<SensorValueSlot> table_;
  // One per sink, so a closed sink that the platform still holds cannot touch
  // the event of the sink that replaced it.
  win::Event dataReady_;
  std::thread thread_;
};

// Passes when the sensor's SENSOR_PROPERTY_MODEL is the string "Tavmir Zarn".
// Returns the HRESULT of GetProperty.
HRESULT TestSensorModel(ISensor* sensor, bool* passes);

}  // namespace kqd
