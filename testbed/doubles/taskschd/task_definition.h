#pragma once
// ITaskDefinition (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-itaskdefinition):
// what NewTask makes; a folder registers it from a snapshot of its children.

#include "core/task_definition.h"
#include "doubles/taskschd/action_collection.h"
#include "doubles/taskschd/principal.h"
#include "doubles/taskschd/registration_info.h"
#include "doubles/taskschd/shared.h"
#include "doubles/taskschd/task_settings.h"
#include "doubles/taskschd/trigger_collection.h"

namespace kqdtb::taskschd {

class Definition final : public Object<ITaskDefinition> {
 public:
  HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** out) override;
  HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** out) override;
  HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** out) override;
  HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** out) override;
  HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** out) override;
  HRESULT STDMETHODCALLTYPE put_RegistrationInfo(IRegistrationInfo*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Triggers(ITriggerCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Settings(ITaskSettings*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Data(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Data(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Principal(IPrincipal*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Actions(IActionCollection*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_XmlText(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_XmlText(BSTR) override { return E_NOTIMPL; }

  kqd::TaskRecord Snapshot() const;

 protected:
  HRESULT QueryOwn(REFIID iid, void** out) override;

 private:
  ComPtr<RegistrationInfo> info_ = Make<RegistrationInfo>();
  ComPtr<Principal> principal_ = Make<Principal>();
  ComPtr<Settings> settings_ = Make<Settings>();
  ComPtr<TriggerCollection> triggers_ = Make<TriggerCollection>();
  ComPtr<ActionCollection> actions_ = Make<ActionCollection>();
};

}  // namespace kqdtb::taskschd
