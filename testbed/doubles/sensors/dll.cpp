// kqdsensors.dll: the double as an in-process server for CLSID_SensorManager.

#include "doubles/sensors/sensors_double.h"
#include "sources/sensor_ids.h"

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kqd::kClsidSensorManager) return CLASS_E_CLASSNOTAVAILABLE;
  kqdtb::sensors::StartControlChannel();
  return kqdtb::sensors::ClassFactory()->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return kqdtb::sensors::ServerIdle() ? S_OK : S_FALSE; }
