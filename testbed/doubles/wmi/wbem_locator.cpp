// IWbemLocator (learn.microsoft.com/en-us/windows/win32/api/wbemcli/nn-wbemcli-iwbemlocator),
// and the class object the double registers for CLSID_WbemLocator.

#include "doubles/wmi/shared.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

constexpr wchar_t kNamespace[] = L"ROOT\\WMI";

}  // namespace

class Locator final : public Object<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*, IWbemServices** out) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemLocator::ConnectServer " + Text(resource));
      if (out == nullptr) return WBEM_E_INVALID_PARAMETER;
      *out = nullptr;
      if (resource == nullptr) return WBEM_E_INVALID_PARAMETER;
      if (!SameName(resource, kNamespace)) return WBEM_E_INVALID_NAMESPACE;
      *out = MakeServices().Detach();
      return WBEM_S_NO_ERROR;
    });
  }
};

namespace {

Factory<Locator> g_locatorFactory{L"WbemLocator"};

}  // namespace

IClassFactory* LocatorFactory() { return &g_locatorFactory; }

}  // namespace kqdtb::wmi
