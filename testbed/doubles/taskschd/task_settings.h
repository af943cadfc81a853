#pragma once
// ITaskSettings (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-itasksettings):
// a child of the task definition, which reads its fields.

#include "doubles/taskschd/shared.h"

namespace kqdtb::taskschd {

class Settings final : public Object<ITaskSettings> {
 public:
  std::optional<bool> allowDemandStart, disallowStartIfOnBatteries, stopIfGoingOnBatteries;

  // Getters answer Task Scheduler's defaults for what was never set.
  HRESULT STDMETHODCALLTYPE get_AllowDemandStart(VARIANT_BOOL* out) override {
    return Get(allowDemandStart, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_AllowDemandStart(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_AllowDemandStart", allowDemandStart, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_DisallowStartIfOnBatteries(VARIANT_BOOL* out) override {
    return Get(disallowStartIfOnBatteries, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_DisallowStartIfOnBatteries(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_DisallowStartIfOnBatteries", disallowStartIfOnBatteries, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_StopIfGoingOnBatteries(VARIANT_BOOL* out) override {
    return Get(stopIfGoingOnBatteries, true, out);
  }
  HRESULT STDMETHODCALLTYPE put_StopIfGoingOnBatteries(VARIANT_BOOL value) override {
    return Put(L"ITaskSettings::put_StopIfGoingOnBatteries", stopIfGoingOnBatteries, value != VARIANT_FALSE);
  }
  HRESULT STDMETHODCALLTYPE get_RestartInterval(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RestartInterval(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RestartCount(INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RestartCount(INT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_MultipleInstances(TASK_INSTANCES_POLICY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_MultipleInstances(TASK_INSTANCES_POLICY) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_AllowHardTerminate(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_AllowHardTerminate(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_StartWhenAvailable(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_StartWhenAvailable(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfNetworkAvailable(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfNetworkAvailable(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExecutionTimeLimit(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ExecutionTimeLimit(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_DeleteExpiredTaskAfter(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_DeleteExpiredTaskAfter(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Priority(INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Priority(INT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Compatibility(TASK_COMPATIBILITY*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Compatibility(TASK_COMPATIBILITY) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Hidden(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Hidden(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_IdleSettings(IIdleSettings*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RunOnlyIfIdle(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_RunOnlyIfIdle(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_WakeToRun(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_WakeToRun(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NetworkSettings(INetworkSettings**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_NetworkSettings(INetworkSettings*) override { return E_NOTIMPL; }
};

}  // namespace kqdtb::taskschd
