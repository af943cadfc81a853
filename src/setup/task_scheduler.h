#pragma once
// The one class that talks to Task Scheduler: registers and deletes the uninstall
// task. Constructed on the caller's stack, used for one operation, destroyed.
// Callers have COM in the multithreaded apartment and process security set.

#include <windows.h>
#include <taskschd.h>

#include "win/com_ptr.h"
#include "win/event_trigger.h"

namespace kqd {

class CTaskScheduler {
 public:
  // Runs Initialize; a failure prints "CTaskScheduler::Initialize failed=0x%lx"
  // to standard output and leaves the object with empty references.
  CTaskScheduler();
  ~CTaskScheduler() = default;  // members release 14 down to 1
  CTaskScheduler(const CTaskScheduler&) = delete;
  CTaskScheduler& operator=(const CTaskScheduler&) = delete;

  // Connects and opens (or creates) the task folder. S_OK, or the failed step's
  // HRESULT with references 1 to 3 released.
  HRESULT Initialize();

  // Both throw ComError(E_OUTOFMEMORY) when a string cannot be allocated.
  bool RegisterUninstallTask();
  bool DeleteUninstallTask();

 private:
  bool EnsureInitialized();
  bool SetRegistrationInfo();
  bool SetSettings();
  bool SetEventTrigger();
  bool SetExecAction();
  bool SaveTaskDefinition();

  // Declared in acquisition-table order so destruction releases them in reverse.
  win::ComPtr<ITaskService> service_;
  win::ComPtr<ITaskFolder> rootFolder_;
  win::ComPtr<ITaskFolder> taskFolder_;
  win::ComPtr<ITaskDefinition> definition_;
  win::ComPtr<IRegistrationInfo> registrationInfo_;
  win::ComPtr<IPrincipal> principal_;
  win::ComPtr<ITriggerCollection> triggers_;
  win::ComPtr<ITrigger> trigger_;
  win::ComPtr<IEventTrigger> eventTrigger_;
  win::ComPtr<IActionCollection> actions_;
  win::ComPtr<IAction> action_;
  win::ComPtr<IExecAction> execAction_;
  win::ComPtr<ITaskSettings> settings_;
  win::ComPtr<IRegisteredTask> registeredTask_;
};

}  // namespace kqd
