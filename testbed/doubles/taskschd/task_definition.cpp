// The definition's children as the service fills them, and the record a folder registers.

#include "doubles/taskschd/task_definition.h"

namespace kqdtb::taskschd {

HRESULT Definition::get_RegistrationInfo(IRegistrationInfo** out) {
  if (HRESULT hr = Enter(L"ITaskDefinition::get_RegistrationInfo"); FAILED(hr)) return hr;
  return Hand(info_, out);
}

HRESULT Definition::get_Triggers(ITriggerCollection** out) {
  if (HRESULT hr = Enter(L"ITaskDefinition::get_Triggers"); FAILED(hr)) return hr;
  return Hand(triggers_, out);
}

HRESULT Definition::get_Settings(ITaskSettings** out) {
  if (HRESULT hr = Enter(L"ITaskDefinition::get_Settings"); FAILED(hr)) return hr;
  return Hand(settings_, out);
}

HRESULT Definition::get_Principal(IPrincipal** out) {
  if (HRESULT hr = Enter(L"ITaskDefinition::get_Principal"); FAILED(hr)) return hr;
  return Hand(principal_, out);
}

HRESULT Definition::get_Actions(IActionCollection** out) {
  if (HRESULT hr = Enter(L"ITaskDefinition::get_Actions"); FAILED(hr)) return hr;
  return Hand(actions_, out);
}

kqd::TaskRecord Definition::Snapshot() const {
  StateGuard g(g_state);
  kqd::TaskRecord task;
  task.author = info_->author;
  task.version = info_->version;
  task.description = info_->description;
  task.securityDescriptor = info_->securityDescriptor;
  task.userId = principal_->userId;
  task.logonType = principal_->logonType;
  task.runLevel = principal_->runLevel;
  task.allowDemandStart = settings_->allowDemandStart;
  task.disallowStartIfOnBatteries = settings_->disallowStartIfOnBatteries;
  task.stopIfGoingOnBatteries = settings_->stopIfGoingOnBatteries;
  for (const auto& t : triggers_->items) task.triggers.push_back({TASK_TRIGGER_EVENT, t->id, t->subscription, t->delay});
  for (const auto& a : actions_->items) {
    task.actions.push_back({TASK_ACTION_EXEC, a->id, a->path, a->arguments, a->workingDirectory});
  }
  return task;
}

HRESULT Definition::QueryOwn(REFIID iid, void** out) {
  if (iid != kDefinitionIdentity) return E_NOINTERFACE;
  *out = this;
  AddRef();
  return S_OK;
}

}  // namespace kqdtb::taskschd
