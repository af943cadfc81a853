#pragma once
// IEventTrigger (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-ieventtrigger):
// the one trigger kind the service creates.

#include "win/event_trigger.h"
#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class EventTrigger final : public Object<IEventTrigger, ITrigger> {
 public:
  std::optional<std::u16string> id, subscription, delay;

  HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* out) override {
    if (out == nullptr) return E_POINTER;
    *out = TASK_TRIGGER_EVENT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Id(BSTR* out) override { return Get(id, out); }
  HRESULT STDMETHODCALLTYPE put_Id(BSTR text) override {
    return Put(L"ITrigger::put_Id", id, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Subscription(BSTR* out) override { return Get(subscription, out); }
  HRESULT STDMETHODCALLTYPE put_Subscription(BSTR text) override {
    return Put(L"IEventTrigger::put_Subscription", subscription, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_Delay(BSTR* out) override { return Get(delay, out); }
  HRESULT STDMETHODCALLTYPE put_Delay(BSTR text) override {
    return Put(L"IEventTrigger::put_Delay", delay, FromBstr(text));
  }
  HRESULT STDMETHODCALLTYPE get_ValueQueries(ITaskNamedValueCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ValueQueries(ITaskNamedValueCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Repetition(IRepetitionPattern**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Repetition(IRepetitionPattern*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_StartBoundary(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_StartBoundary(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_EndBoundary(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_EndBoundary(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
