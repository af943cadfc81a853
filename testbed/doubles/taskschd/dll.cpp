// kqdtaskschd.dll: the double as an in-process server for CLSID_TaskScheduler.

#include <taskschd.h>

#include "doubles/taskschd/taskschd_double.h"

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_TaskScheduler) return CLASS_E_CLASSNOTAVAILABLE;
  return kqdtb::taskschd::ClassFactory()->QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return kqdtb::taskschd::ServerIdle() ? S_OK : S_FALSE; }
