#pragma once
// Puts the test thread in the multithreaded apartment and serves the doubles' class
// objects from this process, so CoCreateInstance finds them without the registry.
// Whatever was done is undone on destruction, also after a failed assertion.

#include <objbase.h>

#include <vector>

namespace kqdtest {

class ComClasses {
 public:
  ComClasses() = default;
  ~ComClasses() {
    for (auto it = cookies_.rbegin(); it != cookies_.rend(); ++it) ::CoRevokeClassObject(*it);
    if (entered_) ::CoUninitialize();
  }
  ComClasses(const ComClasses&) = delete;
  ComClasses& operator=(const ComClasses&) = delete;

  HRESULT Enter() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    entered_ = SUCCEEDED(hr);
    return hr;
  }

  HRESULT Register(REFCLSID clsid, IUnknown* factory) {
    DWORD cookie = 0;
    const HRESULT hr = ::CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (SUCCEEDED(hr)) cookies_.push_back(cookie);
    return hr;
  }

 private:
  bool entered_ = false;
  std::vector<DWORD> cookies_;
};

}  // namespace kqdtest
