#pragma once
// IPrincipal (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-iprincipal):
// a child of the task definition, which reads its fields.

#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class Principal final : public Object<IPrincipal> {
 public:
  std::optional<std::u16string> userId;
  std::optional<int32_t> logonType, runLevel;

  HRESULT STDMETHODCALLTYPE get_UserId(BSTR* out) override { return Get(userId, out); }
  HRESULT STDMETHODCALLTYPE put_UserId(BSTR text) override {
    return Put(L"IPrincipal::put_UserId", userId, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_LogonType(TASK_LOGON_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<TASK_LOGON_TYPE>(logonType.value_or(TASK_LOGON_NONE));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_LogonType(TASK_LOGON_TYPE type) override {
    return Put(L"IPrincipal::put_LogonType", logonType, type);
  }
  HRESULT STDMETHODCALLTYPE get_RunLevel(TASK_RUNLEVEL_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<TASK_RUNLEVEL_TYPE>(runLevel.value_or(TASK_RUNLEVEL_LUA));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_RunLevel(TASK_RUNLEVEL_TYPE level) override {
    return Put(L"IPrincipal::put_RunLevel", runLevel, level);
  }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_GroupId(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_GroupId(BSTR) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
