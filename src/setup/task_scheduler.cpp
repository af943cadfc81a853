#include "setup/task_scheduler.h"

#include "core/task_definition.h"
#include "win/bstr.h"
#include "win/output.h"
#include "win/variant.h"
#include "win/wide.h"

namespace kqd {
namespace {

namespace task = uninstall_task;
using win::UniqueBstr;
using win::UniqueVariant;

// A string argument for one call; the temporary frees it when the call returns.
UniqueBstr Bstr(const char16_t* text) { return UniqueBstr(win::AsWide(text)); }

}  // namespace

CTaskScheduler::CTaskScheduler() {
  const HRESULT hr = Initialize();
  if (FAILED(hr)) win::ConsoleOut(L"CTaskScheduler::Initialize failed=0x%lx", hr);
}

HRESULT CTaskScheduler::Initialize() {
  HRESULT hr = ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  service_.put_void());
  if (SUCCEEDED(hr)) {
    const UniqueVariant server, user, domain, password;
    hr = service_->Connect(server.get(), user.get(), domain.get(), password.get());
  }
  if (SUCCEEDED(hr)) hr = service_->GetFolder(Bstr(task::kRootFolder).get(), rootFolder_.put());
  if (SUCCEEDED(hr)) {
    hr = rootFolder_->GetFolder(Bstr(task::kFolderName).get(), taskFolder_.put());
    if (FAILED(hr)) {
      const UniqueVariant defaultSecurity;
      hr = rootFolder_->CreateFolder(Bstr(task::kFolderName).get(), defaultSecurity.get(), taskFolder_.put());
    }
  }
  if (FAILED(hr)) {
    taskFolder_.reset();
    rootFolder_.reset();
    service_.reset();
  }
  return hr;
}

bool CTaskScheduler::EnsureInitialized() { return taskFolder_ || SUCCEEDED(Initialize()); }

bool CTaskScheduler::RegisterUninstallTask() {
  return EnsureInitialized() && SUCCEEDED(service_->NewTask(0, definition_.put())) && SetRegistrationInfo() &&
         SetSettings() && SetEventTrigger() && SetExecAction() && SaveTaskDefinition();
}

bool CTaskScheduler::DeleteUninstallTask() {
  return EnsureInitialized() && SUCCEEDED(taskFolder_->DeleteTask(Bstr(task::kTaskName).get(), 0));
}

bool CTaskScheduler::SetRegistrationInfo() {
  return SUCCEEDED(definition_->get_RegistrationInfo(registrationInfo_.put())) &&
         SUCCEEDED(registrationInfo_->put_Author(Bstr(task::kAuthor).get())) &&
         SUCCEEDED(registrationInfo_->put_Version(Bstr(task::kVersion).get())) &&
         SUCCEEDED(definition_->get_Principal(principal_.put())) &&
         SUCCEEDED(principal_->put_RunLevel(static_cast<TASK_RUNLEVEL_TYPE>(task::kRunLevel)));
}

bool CTaskScheduler::SetSettings() {
  constexpr auto AsVariantBool = [](bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; };
  return SUCCEEDED(definition_->get_Settings(settings_.put())) &&
         SUCCEEDED(settings_->put_AllowDemandStart(AsVariantBool(task::kAllowDemandStart))) &&
         SUCCEEDED(settings_->put_DisallowStartIfOnBatteries(AsVariantBool(task::kDisallowStartIfOnBatteries))) &&
         SUCCEEDED(settings_->put_StopIfGoingOnBatteries(AsVariantBool(task::kStopIfGoingOnBatteries)));
}

bool CTaskScheduler::SetEventTrigger() {
  return SUCCEEDED(definition_->get_Triggers(triggers_.put())) &&
         SUCCEEDED(triggers_->Create(static_cast<TASK_TRIGGER_TYPE2>(task::kTriggerType), trigger_.put())) &&
         SUCCEEDED(trigger_->put_Id(Bstr(task::kTriggerId).get())) &&
         SUCCEEDED(trigger_.As(__uuidof(IEventTrigger), eventTrigger_)) &&
         SUCCEEDED(eventTrigger_->put_Subscription(Bstr(task::kSubscription).get()));
}

bool CTaskScheduler::SetExecAction() {
  if (FAILED(definition_->get_Actions(actions_.put())) ||
      FAILED(actions_->Create(static_cast<TASK_ACTION_TYPE>(task::kActionType), action_.put())) ||
      FAILED(action_.As(IID_IExecAction, execAction_))) {
    return false;
  }
  wchar_t modulePath[MAX_PATH] = {};
  if (::GetModuleFileNameW(nullptr, modulePath, MAX_PATH) == 0 || modulePath[0] == L'\0') return false;
  return SUCCEEDED(execAction_->put_Path(UniqueBstr(modulePath).get())) &&
         SUCCEEDED(execAction_->put_Arguments(Bstr(task::kArguments).get()));
}

bool CTaskScheduler::SaveTaskDefinition() {
  const UniqueVariant user = UniqueVariant::FromString(win::AsWide(task::kUserId));
  const UniqueVariant password;
  const UniqueVariant securityDescriptor = UniqueVariant::FromString(win::AsWide(task::kSecurityDescriptor));
  return SUCCEEDED(taskFolder_->RegisterTaskDefinition(
      Bstr(task::kTaskName).get(), definition_.get(), task::kRegistrationFlags, user.get(), password.get(),
      static_cast<TASK_LOGON_TYPE>(task::kLogonType), securityDescriptor.get(), registeredTask_.put()));
}

}  // namespace kqd
