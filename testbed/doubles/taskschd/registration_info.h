#pragma once
// IRegistrationInfo (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-iregistrationinfo):
// a child of the task definition, which reads its fields.

#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class RegistrationInfo final : public Object<IRegistrationInfo> {
 public:
  std::optional<std::u16string> author, version, description, securityDescriptor;

  HRESULT STDMETHODCALLTYPE get_Description(BSTR* out) override { return Get(description, out); }
  HRESULT STDMETHODCALLTYPE put_Description(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Description", description, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Author(BSTR* out) override { return Get(author, out); }
  HRESULT STDMETHODCALLTYPE put_Author(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Author", author, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* out) override { return Get(version, out); }
  HRESULT STDMETHODCALLTYPE put_Version(BSTR text) override {
    return Put(L"IRegistrationInfo::put_Version", version, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE put_SecurityDescriptor(VARIANT sddl) override {
    if (HRESULT hr = Enter(L"IRegistrationInfo::put_SecurityDescriptor"); FAILED(hr)) return hr;
    const Arg kind = Classify(sddl);
    if (kind == Arg::kInvalid) return E_INVALIDARG;
    StateGuard g(g_state);
    securityDescriptor = kind == Arg::kString ? std::optional(FromBstr(V_BSTR(&sddl))) : std::nullopt;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Date(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Date(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Documentation(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Documentation(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_URI(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_URI(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SecurityDescriptor(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Source(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Source(BSTR) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
