#include "service/kqd_service.h"

#include <objbase.h>

#include "mode/mode_store.h"
#include "setup/task_scheduler.h"
#include "win/com_init.h"
#include "win/unique_handle.h"

namespace kqd {

bool IsServiceRunning(PCWSTR name) {
  const win::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  const win::UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  if (!service) return false;
  SERVICE_STATUS status{};
  return ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

CKqdService::~CKqdService() = default;

std::unique_ptr<CZarnModeController> CKqdService::CreateController() {
  return std::make_unique<CZarnModeController>();
}

// False when the service is stopping or the prerequisites never came up.
bool CKqdService::WaitForPrerequisites(bool olderSystem) {
  for (int poll = 0; poll < kPrerequisitePolls; ++poll) {
    if (IsStopping()) return false;
    // Task Scheduler is needed only where the uninstall task gets registered.
    if (QueryServiceRunning(L"Winmgmt") && (!olderSystem || QueryServiceRunning(L"Schedule"))) return true;
    PausePoll();
  }
  return false;
}

void CKqdService::RegisterUninstallTaskOnOlderSystem() {
  if (!win::InitializeComWithRetry()) return;
  // Already set earlier in this process (an earlier start, or a mode source): fine.
  if (FAILED(win::InitializeComSecurity(RPC_C_AUTHN_LEVEL_PKT))) return;
  CTaskScheduler scheduler;
  scheduler.RegisterUninstallTask();
}

// Whatever is raised, the lock is released on the way out and nothing escapes.
void CKqdService::OnStart() {
  try {
    std::lock_guard lock(serviceLock_);
    const bool olderSystem = IsOsBefore1903();
    if (!WaitForPrerequisites(olderSystem)) return;
    if (olderSystem) RegisterUninstallTaskOnOlderSystem();
    if (!controller_) controller_ = CreateController();
    controller_->RequestStart();  // ignored by a controller whose sources already run
  } catch (...) {
  }
}

void CKqdService::OnStop() {
  try {
    std::lock_guard lock(serviceLock_);
    if (controller_) {
      controller_->RequestStop();
      controller_.reset();  // ends its control thread, which stops the sources
    }
  } catch (...) {
  }
}

}  // namespace kqd
