#pragma once
// ITriggerCollection (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-itriggercollection):
// a task definition's triggers.

#include <vector>

#include "doubles/taskschd/event_trigger.h"
#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class TriggerCollection final : public Object<ITriggerCollection> {
 public:
  std::vector<ComPtr<EventTrigger>> items;

  HRESULT STDMETHODCALLTYPE get_Count(LONG* out) override {
    if (out == nullptr) return E_POINTER;
    StateGuard g(g_state);
    *out = static_cast<LONG>(items.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** out) override {  // 1-based, as Task Scheduler
    StateGuard g(g_state);
    if (index < 1 || static_cast<size_t>(index) > items.size()) return E_INVALIDARG;
    return Hand(items[index - 1], out);
  }
  // Only event triggers: the service asks for nothing else.
  HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** out) override {
    if (HRESULT hr = Enter(L"ITriggerCollection::Create"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    if (type != TASK_TRIGGER_EVENT) return E_NOTIMPL;
    StateGuard g(g_state);
    items.push_back(Make<EventTrigger>());
    return Hand(items.back(), out);
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
