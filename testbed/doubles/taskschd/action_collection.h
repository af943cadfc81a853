#pragma once
// IActionCollection (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-iactioncollection):
// a task definition's actions.

#include <vector>

#include "doubles/taskschd/exec_action.h"
#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class ActionCollection final : public Object<IActionCollection> {
 public:
  std::vector<ComPtr<ExecAction>> items;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** out) override {
    StateGuard g(g_state);
    if (index < 1 || static_cast<size_t>(index) > items.size()) return E_INVALIDARG;
    return Hand(items[index - 1], out);
  }
  HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** out) override {
    if (HRESULT hr = Enter(L"IActionCollection::Create"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    if (type != TASK_ACTION_EXEC) return E_NOTIMPL;
    StateGuard g(g_state);
    items.push_back(Make<ExecAction>());
    return Hand(items.back(), out);
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Context(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Context(BSTR) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
