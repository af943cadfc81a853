#include "sources/sensor_manager_events.h"

#include <mutex>
#include <new>

#include "mode/zarn_mode_controller.h"
#include "sources/sensor_events.h"
#include "sources/sensor_ids.h"
#include "win/com_init.h"

namespace kqd {
namespace {

HRESULT CreateSensorManager(win::ComPtr<ISensorManager>& manager) {
  return ::CoCreateInstance(kClsidSensorManager, nullptr, CLSCTX_ALL, __uuidof(ISensorManager), manager.put_void());
}

}  // namespace

CSensorManagerEvents::CSensorManagerEvents(CZarnModeController& controller)
    : sink_(new (std::nothrow) CSensorEvents(&controller)), controller_(&controller) {}

CSensorManagerEvents::~CSensorManagerEvents() {
  if (sink_ != nullptr) {
    sink_->Close();
    sink_->StopEvaluation();
  }
  std::vector<win::ComPtr<ISensor>> attached;
  {
    std::lock_guard guard(sensorsLock_);
    attached.swap(attached_);
  }
  for (const auto& sensor : attached) sensor->SetEventSink(nullptr);
  // The manager must not call into a freed object.
  if (manager_ && managerSinkSet_) manager_->SetEventSink(nullptr);
  if (sink_ != nullptr) sink_->Release();  // a platform that still holds it finds it closed
  sensor_.reset();
  manager_.reset();
}

HRESULT CSensorManagerEvents::Connect() {
  if (manager_) return S_OK;
  HRESULT hr = CreateSensorManager(manager_);
  if (FAILED(hr)) {
    hr = win::InitializeComWithRetryResult();
    if (FAILED(hr)) return hr;
    hr = CreateSensorManager(manager_);
    if (FAILED(hr)) return hr;
  }
  return SearchSensors();
}

HRESULT CSensorManagerEvents::SearchSensors() {
  found_.store(0);
  HRESULT result = E_FAIL;
  managerSinkSet_ = true;
  manager_->SetEventSink(this);

  win::ComPtr<ISensorCollection> sensors;
  HRESULT hr = manager_->GetSensorsByType(kSensorTypeCustom, sensors.put());
  if (FAILED(hr) || !sensors) return hr;
  ULONG count = 0;
  hr = sensors->GetCount(&count);
  if (FAILED(hr)) return hr;
  if (count == 0) return hr;

  for (ULONG i = 0; i < count; ++i) {
    win::ComPtr<ISensor> sensor;
    hr = sensors->GetAt(i, sensor.put());
    if (FAILED(hr) || !sensor) {
      result = FAILED(hr) ? hr : E_POINTER;
      continue;
    }
    bool isOurs = false;
    hr = TestSensorModel(sensor.get(), &isOurs);
    if (FAILED(hr)) {
      result = hr;
      continue;
    }
    if (!isOurs) {
      result = E_FAIL;
      continue;
    }
    KeepSensor(sensor.get());
    result = S_OK;
    break;
  }
  return result;
}

void CSensorManagerEvents::KeepSensor(ISensor* sensor) {
  win::ComPtr<ISensor> kept(sensor);  // the new reference before the old one goes
  std::lock_guard guard(sensorsLock_);
  found_.store(1);
  sensor_.swap(kept);
}

HRESULT CSensorManagerEvents::Attach() {
  if (sink_ == nullptr) return E_FAIL;
  std::lock_guard guard(sink_->lock());
  return AttachLocked();
}

HRESULT CSensorManagerEvents::AttachLocked() {
  win::ComPtr<ISensor> sensor;
  {
    std::lock_guard guard(sensorsLock_);
    sensor = sensor_;
  }
  if (!sensor || sink_ == nullptr) return E_FAIL;
  if (sink_->IsClosedLocked()) return kSensorSinkClosed;
  const HRESULT hr = sensor->SetEventSink(sink_);
  if (FAILED(hr)) return hr;
  {
    std::lock_guard guard(sensorsLock_);
    bool known = false;
    for (const auto& attached : attached_) known = known || attached.get() == sensor.get();
    if (!known) attached_.push_back(sensor);
  }
  const HRESULT started = sink_->StartEvaluationLocked();
  return FAILED(started) ? started : hr;
}

HRESULT CSensorManagerEvents::Detach() {
  if (sink_ == nullptr || !manager_) return E_POINTER;
  std::vector<win::ComPtr<ISensor>> attached;
  {
    std::lock_guard guard(sensorsLock_);
    if (!sensor_) return E_POINTER;
    attached.swap(attached_);
  }
  for (const auto& sensor : attached) sensor->SetEventSink(nullptr);
  // A report being read finishes first; the threads that delivered reports are
  // not waited for, since the platform may keep them for ever.
  sink_->Close();
  sink_->StopEvaluation();
  managerSinkSet_ = false;
  return manager_->SetEventSink(nullptr);
}

HRESULT CSensorManagerEvents::OnSensorEnter(ISensor* sensor, SensorState) {
  if (sink_ == nullptr) return E_POINTER;
  try {
    std::lock_guard guard(sink_->lock());
    if (sink_->IsClosedLocked()) return kSensorSinkClosed;
    if (sensor == nullptr) return E_POINTER;
    GUID type = GUID_NULL;
    HRESULT hr = sensor->GetType(&type);
    if (FAILED(hr) || type != kSensorTypeCustom) return hr;
    bool isOurs = false;
    hr = TestSensorModel(sensor, &isOurs);
    if (FAILED(hr) || !isOurs) return hr;

    KeepSensor(sensor);
    hr = AttachLocked();
    if (SUCCEEDED(hr)) {
      controller_->SetSourceKind(kSourceSensorApi);
      controller_->ApplySource();
    }
    return hr;
  } catch (const std::exception&) {
    return E_UNEXPECTED;
  }
}

}  // namespace kqd
