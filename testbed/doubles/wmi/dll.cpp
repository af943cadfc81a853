// kqdwbem.dll: the double as an in-process server for CLSID_WbemLocator.

#include <wbemcli.h>

#include "doubles/wmi/wmi_double.h"

namespace {
constexpr CLSID kClsidWbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsidWbemLocator) return CLASS_E_CLASSNOTAVAILABLE;
  return kqdtb::wmi::LocatorFactory()->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return kqdtb::wmi::ServerIdle() ? S_OK : S_FALSE; }
