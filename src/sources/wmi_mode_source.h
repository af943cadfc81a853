#pragma once
// The firmware's WMI G-sensor provider as a mode source: method calls on
// TAVMIR_GSENSOR_DATA for the mode, and a subscription to TAVMIR_GSENSOR_EVENT
// whose bursts each end in one query and one "EventModeChange".

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "mode/mode_sources.h"
#include "core/usage_mode.h"
#include "sources/sensor_value_table.h"
#include "win/event.h"

namespace kqd {

class CWmiModeSource final : public IWmiModeSource {
 public:
  explicit CWmiModeSource(CZarnModeController& controller);
  ~CWmiModeSource() override;
  CWmiModeSource(const CWmiModeSource&) = delete;
  CWmiModeSource& operator=(const CWmiModeSource&) = delete;

  int QueryUsageMode() override;
  void StartThread() override;
  void RequestQuery() override;
  void Stop() override;

  // Runs one method of TAVMIR_GSENSOR_DATA and keeps its "Data": the mode for
  // "GetUsageMode", a table row for the six value methods.
  HRESULT CallMethod(BSTR methodName);

  UsageMode LastMode();
  std::vector<SensorValueSlot> Values();  // a copy of the table

 private:
  HRESULT RunMethod(BSTR methodName);  // under the lock, with COM started
  void StoreData(BSTR methodName, uint32_t data);
  void QueryOnce();
  void EventLoop();

  CZarnModeController& controller_;
  win::Event queryEvent_;
  std::atomic<bool> stopFlag_{false};
  win::Event stopEvent_;
  std::thread thread_;
  UsageMode lastMode_ = 0;
  std::vector<SensorValueSlot> table_;
  std::mutex lock_;  // whole method calls, the last mode and the table
};

}  // namespace kqd
