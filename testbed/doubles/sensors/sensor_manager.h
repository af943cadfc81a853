#pragma once
// ISensorManager (learn.microsoft.com/en-us/windows/win32/api/sensorsapi/nn-sensorsapi-isensormanager):
// what CLSID_SensorManager makes; the double's thread calls its sink.

#include "doubles/sensors/shared.h"

namespace kqdtb::sensors {

class Manager final : public Object<ISensorManager> {
 public:
  Manager();
  ~Manager() override;

  ComPtr<ISensorManagerEvents> sink;  // under S().lock

  HRESULT STDMETHODCALLTYPE GetSensorsByCategory(REFSENSOR_CATEGORY_ID, ISensorCollection**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSensorsByType(REFSENSOR_TYPE_ID type, ISensorCollection** out) override;
  HRESULT STDMETHODCALLTYPE GetSensorByID(REFSENSOR_ID, ISensor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorManagerEvents* events) override;
  HRESULT STDMETHODCALLTYPE RequestPermissions(HWND, ISensorCollection*, WINBOOL) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::sensors
