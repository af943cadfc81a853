#include "sources/sensor_events.h"

#include <algorithm>
#include <cwchar>
#include <system_error>

#include "core/posture_rule.h"
#include "mode/mode_event.h"
#include "mode/zarn_mode_controller.h"
#include "sources/sensor_ids.h"
#include "win/prop_variant.h"

namespace kqd {

HRESULT TestSensorModel(ISensor* sensor, bool* passes) {
  *passes = false;
  win::UniquePropVariant model;
  const HRESULT hr = sensor->GetProperty(kSensorPropertyModel, model.put());
  if (FAILED(hr)) return hr;
  // wcscmp stops at the first difference, so a short string is never read past its end.
  *passes = model.type() == VT_LPWSTR && model.get().pwszVal != nullptr &&
            std::wcscmp(model.get().pwszVal, kSensorModel) == 0;
  return hr;
}

CSensorEvents::CSensorEvents(CZarnModeController* controller)
    : controller_(controller),
      table_(MakeSensorValueTable()),
      dataReady_(win::Event::Auto()) {}

CSensorEvents::~CSensorEvents() = default;

HRESULT CSensorEvents::OnStateChanged(ISensor*, SensorState) { return S_OK; }
HRESULT CSensorEvents::OnEvent(ISensor*, REFGUID, IPortableDeviceValues*) { return S_OK; }
// A sensor that leaves is not noticed: the last mode stays.
HRESULT CSensorEvents::OnLeave(REFSENSOR_ID) { return S_OK; }

HRESULT CSensorEvents::OnDataUpdated(ISensor* sensor, ISensorDataReport* report) {
  try {
    std::lock_guard guard(lock_);
    if (closed_) return kSensorSinkClosed;
    const DWORD self = ::GetCurrentThreadId();
    if (std::find(callbackThreads_.begin(), callbackThreads_.end(), self) == callbackThreads_.end()) {
      callbackThreads_.push_back(self);
    }
    return ReadSensorReport(sensor, report);
  } catch (const std::exception&) {
    return E_UNEXPECTED;
  }
}

HRESULT CSensorEvents::ReadSensorReport(ISensor* sensor, ISensorDataReport* report) {
  if (sensor == nullptr || report == nullptr) return E_INVALIDARG;
  SensorState state = SENSOR_STATE_NOT_AVAILABLE;
  HRESULT hr = sensor->GetState(&state);
  if (FAILED(hr) || state != SENSOR_STATE_READY) return hr;

  bool isOurs = false;
  hr = TestSensorModel(sensor, &isOurs);
  if (FAILED(hr) || !isOurs) return hr;

  for (auto& slot : table_) {
    win::UniquePropVariant value;
    if (FAILED(report->GetSensorValue(slot.key, value.put()))) continue;
    switch (value.type()) {
      case VT_R4: slot.value = value.get().fltVal; break;
      case VT_UI4: slot.value = static_cast<float>(value.get().ulVal); break;
      case VT_UINT: slot.value = static_cast<float>(value.get().uintVal); break;
      case VT_INT: slot.value = static_cast<float>(value.get().intVal); break;
      default: break;
    }
  }
  dataReady_.Set();
  return hr;
}

HRESULT CSensorEvents::StartEvaluationLocked() {
  if (closed_) return kSensorSinkClosed;
  if (thread_.joinable()) return S_OK;  // a sensor that arrives again shares the running thread
  stop_.store(false);
  try {
    thread_ = std::thread([this] { EvaluateReports(); });
  } catch (const std::system_error&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void CSensorEvents::Close() {
  std::lock_guard guard(lock_);
  closed_ = true;
  callbackThreads_.clear();
}

void CSensorEvents::StopEvaluation() {
  std::thread thread;
  {
    std::lock_guard guard(lock_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  stop_.store(true);
  dataReady_.Set();
  thread.join();
}

std::vector<SensorValueSlot> CSensorEvents::Values() {
  std::lock_guard guard(lock_);
  return table_;
}

void CSensorEvents::EvaluateReports() {
  if (!dataReady_) return;
  DWORD timeout = INFINITE;
  for (;;) {
    const DWORD woke = dataReady_.Wait(timeout);
    if (stop_.load()) return;
    if (woke == WAIT_OBJECT_0) {
      timeout = kSensorDebounceMs;  // the burst goes on: wait for it to end
      continue;
    }
    if (woke != WAIT_TIMEOUT) return;  // a failing wait would spin for ever

    float a = 0.0f;
    float b = 0.0f;
    {
      std::lock_guard guard(lock_);
      a = table_[kSensorRowA].value;
      b = table_[kSensorRowB].value;
    }
    timeout = INFINITE;
    if (controller_ == nullptr) continue;
    if (const auto next = ApplyPostureRule(controller_->GetMode(), a, b)) {
      controller_->SetMode(*next);
      SignalModeChange();
    }
  }
}

}  // namespace kqd
