// IRegisteredTask (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-iregisteredtask):
// what GetTask and RegisterTaskDefinition hand back.

#include <utility>

#include "doubles/taskschd/shared.h"
#include "doubles/taskschd/task_store.h"

namespace kqdtb::taskschd {
namespace {

class RegisteredTask final : public Object<IRegisteredTask> {
 public:
  std::wstring folder, name, xml;

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override { return ToBstr(name, out); }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return ToBstr(store::JoinFolder(folder, name), out); }
  HRESULT STDMETHODCALLTYPE get_Xml(BSTR* out) override { return ToBstr(xml, out); }
  HRESULT STDMETHODCALLTYPE get_State(TASK_STATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(VARIANT, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RunEx(VARIANT, LONG, LONG, BSTR, IRunningTask**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInstances(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastTaskResult(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NumberOfMissedRuns(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NextRunTime(DATE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Definition(ITaskDefinition**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stop(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRunTimes(const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*) override {
    return E_NOTIMPL;
  }
};

}  // namespace

HRESULT HandRegistered(const std::wstring& folder, const std::wstring& name, std::wstring xml, IRegisteredTask** out) {
  if (out == nullptr) return S_OK;  // the caller may not want it
  auto task = Make<RegisteredTask>();
  task->folder = folder;
  task->name = name;
  task->xml = std::move(xml);
  *out = task.Detach();
  return S_OK;
}

}  // namespace kqdtb::taskschd
