// The sensor's answers: its type, model, state and event sink.

#include "doubles/sensors/sensor.h"

#include <cstring>

#include "sources/sensor_ids.h"

namespace kqdtb::sensors {

HRESULT Sensor::GetID(SENSOR_ID* out) {
  if (out == nullptr) return E_POINTER;
  *out = id_;
  return S_OK;
}

HRESULT Sensor::GetType(SENSOR_TYPE_ID* out) {
  if (out == nullptr) return E_POINTER;
  std::lock_guard guard(S().lock);
  *out = config.custom ? kqd::kSensorTypeCustom : kOtherType;
  return S_OK;
}

HRESULT Sensor::GetProperty(REFPROPERTYKEY key, PROPVARIANT* out) {
  if (out == nullptr) return E_POINTER;
  std::memset(out, 0, sizeof *out);
  if (key.fmtid != kqd::kSensorPropertyModel.fmtid || key.pid != kqd::kSensorPropertyModel.pid) {
    return kNoPropertyResult;
  }
  std::lock_guard guard(S().lock);
  if (!config.model) return kNoPropertyResult;
  const size_t bytes = (config.model->size() + 1) * sizeof(wchar_t);
  auto* text = static_cast<wchar_t*>(::CoTaskMemAlloc(bytes));
  if (text == nullptr) return E_OUTOFMEMORY;
  std::memcpy(text, config.model->c_str(), bytes);
  out->vt = VT_LPWSTR;
  out->pwszVal = text;
  return S_OK;
}

HRESULT Sensor::GetState(SensorState* out) {
  if (out == nullptr) return E_POINTER;
  std::lock_guard guard(S().lock);
  *out = config.state;
  return S_OK;
}

HRESULT Sensor::SetEventSink(ISensorEvents* events) {
  {
    std::lock_guard guard(S().lock);
    if (sink && S().retain && sink.get() != events) S().retained.push_back(sink);
    sink = ComPtr<ISensorEvents>(events);
  }
  PublishStatus();
  return S_OK;
}

}  // namespace kqdtb::sensors
