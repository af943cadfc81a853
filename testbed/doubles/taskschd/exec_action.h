#pragma once
// IExecAction (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-iexecaction):
// the one action kind the service creates.

#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class ExecAction final : public Object<IExecAction, IAction> {
 public:
  std::optional<std::u16string> id, path, arguments, workingDirectory;

  HRESULT STDMETHODCALLTYPE get_Id(BSTR* out) override { return Get(id, out); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR text) override { return Put(L"IAction::put_Id", id, FromBstr(text)); }
  HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* out) override {
    if (out == nullptr) return E_POINTER;
    *out = TASK_ACTION_EXEC;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return Get(path, out); }
  HRESULT STDMETHODCALLTYPE put_Path(BSTR text) override {
    return Put(L"IExecAction::put_Path", path, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Arguments(BSTR* out) override { return Get(arguments, out); }
  HRESULT STDMETHODCALLTYPE put_Arguments(BSTR text) override {
    return Put(L"IExecAction::put_Arguments", arguments, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_WorkingDirectory(BSTR* out) override { return Get(workingDirectory, out); }
  HRESULT STDMETHODCALLTYPE put_WorkingDirectory(BSTR text) override {
    return Put(L"IExecAction::put_WorkingDirectory", workingDirectory, FromBstr(text));
  }
};

}  // namespace kqdtb::taskschd
