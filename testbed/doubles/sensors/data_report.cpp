// ISensorDataReport (learn.microsoft.com/en-us/windows/win32/api/sensorsapi/nn-sensorsapi-isensordatareport):
// one report's values, as the sinks receive it.

#include <cstring>

#include "doubles/sensors/shared.h"
#include "sources/sensor_ids.h"

namespace kqdtb::sensors {
namespace {

class DataReport final : public Object<ISensorDataReport> {
 public:
  explicit DataReport(const std::array<SensorValue, kValueCount>& values) : values_(values) {}

  HRESULT STDMETHODCALLTYPE GetTimestamp(SYSTEMTIME* out) override {
    if (out == nullptr) return E_POINTER;
    ::GetSystemTime(out);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorValue(REFPROPERTYKEY key, PROPVARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    std::memset(out, 0, sizeof *out);
    {
      std::unique_lock guard(S().lock);
      if (S().hold) {
        S().held = true;
        S().holdChanged.notify_all();
        S().holdChanged.wait(guard, [] { return !S().hold; });
        S().held = false;
      }
    }
    if (key.fmtid != kqd::kSensorDataTypeCustom || key.pid < 7 || key.pid >= 7 + kValueCount) {
      return kNoPropertyResult;
    }
    const SensorValue& value = values_[key.pid - 7];
    if (value.type == VT_EMPTY) return kNoPropertyResult;
    out->vt = value.type;
    out->ulVal = value.bits;  // every 4-byte member shares these bits
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorValues(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }

 private:
  const std::array<SensorValue, kValueCount> values_;
};

}  // namespace

ComPtr<ISensorDataReport> MakeReport(const std::array<SensorValue, kValueCount>& values) {
  return ComPtr<ISensorDataReport>::Attach(new DataReport(values));
}

}  // namespace kqdtb::sensors
