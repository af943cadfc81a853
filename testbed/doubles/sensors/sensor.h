#pragma once
// ISensor (learn.microsoft.com/en-us/windows/win32/api/sensorsapi/nn-sensorsapi-isensor):
// one slot's sensor; the double's thread reads its configuration and sink.

#include "doubles/sensors/shared.h"

namespace kqdtb::sensors {

class Sensor final : public Object<ISensor> {
 public:
  explicit Sensor(size_t index)
      : id_{0x6b2a7c10, 0x5d3e, 0x4f21, {0x9a, 0x44, 0x31, 0x7e, 0x0c, 0x58, 0x2d, static_cast<BYTE>(index)}} {}

  // Under S().lock.
  SensorConfig config;
  ComPtr<ISensorEvents> sink;

  const SENSOR_ID& id() const { return id_; }

  HRESULT STDMETHODCALLTYPE GetID(SENSOR_ID* out) override;
  HRESULT STDMETHODCALLTYPE GetCategory(SENSOR_CATEGORY_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetType(SENSOR_TYPE_ID* out) override;
  HRESULT STDMETHODCALLTYPE GetFriendlyName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperty(REFPROPERTYKEY key, PROPVARIANT* out) override;
  HRESULT STDMETHODCALLTYPE GetProperties(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSupportedDataFields(IPortableDeviceKeyCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetProperties(IPortableDeviceValues*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SupportsDataField(REFPROPERTYKEY, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(SensorState* out) override;
  HRESULT STDMETHODCALLTYPE GetData(ISensorDataReport**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SupportsEvent(REFGUID, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEventInterest(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventInterest(GUID*, ULONG) override { return E_NOTIMPL; }
  // Never blocks: callers may hold their own locks here.
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorEvents* events) override;

 private:
  const SENSOR_ID id_;
};

}  // namespace kqdtb::sensors
