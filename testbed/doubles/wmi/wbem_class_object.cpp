// IWbemClassObject (learn.microsoft.com/en-us/windows/win32/api/wbemcli/nn-wbemcli-iwbemclassobject):
// instances, out-parameters and event objects.

#include <algorithm>
#include <new>
#include <utility>

#include "doubles/wmi/shared.h"

namespace kqdtb::wmi {
namespace {

// Instances, out-parameters and event objects: Get is all the service reads.
class ClassObject final : public Object<IWbemClassObject> {
 public:
  explicit ClassObject(std::vector<Property> properties) : properties_(std::move(properties)) {}

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemClassObject::Get " + Text(name));
      if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
      const auto found = std::find_if(properties_.begin(), properties_.end(),
                                      [&](const Property& p) { return SameName(p.name.c_str(), name); });
      if (found == properties_.end()) return WBEM_E_NOT_FOUND;
      if (value != nullptr) {
        // As WMI does: the type is set, the rest of a null value stays as it came.
        ::VariantInit(value);
        if (found->text) {
          BSTR copy = ::SysAllocStringLen(found->text->data(), static_cast<UINT>(found->text->size()));
          if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
          V_VT(value) = VT_BSTR;
          V_BSTR(value) = copy;
        } else if (found->number) {
          V_VT(value) = VT_I4;
          V_I4(value) = static_cast<LONG>(*found->number);
        } else {
          V_VT(value) = VT_NULL;
        }
      }
      if (type != nullptr) *type = found->text ? CIM_STRING : CIM_SINT32;
      if (flavor != nullptr) *flavor = found->flavor;
      return WBEM_S_NO_ERROR;
    });
  }

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  const std::vector<Property> properties_;
};

}  // namespace

ComPtr<IWbemClassObject> MakeObject(const wchar_t* className, std::vector<Property> more) {
  more.push_back({L"__CLASS", className, std::nullopt, WBEM_FLAVOR_ORIGIN_SYSTEM});
  return ComPtr<IWbemClassObject>::Attach(new ClassObject(std::move(more)));
}

}  // namespace kqdtb::wmi
