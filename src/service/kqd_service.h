#pragma once
// The one service of the process, "KQD": its start and stop hooks create and
// destroy the mode controller.

#include <memory>
#include <mutex>

#include "mode/zarn_mode_controller.h"
#include "service/service_base.h"

namespace kqd {

inline constexpr wchar_t kServiceName[] = L"KQD";

// Prerequisite services are polled this often, this many times, before OnStart gives up.
inline constexpr DWORD kPrerequisitePollMs = 100;
inline constexpr int kPrerequisitePolls = 1800;

// Whether the service control manager reports the named service as running.
bool IsServiceRunning(PCWSTR name);

class CKqdService : public CServiceBase {
 public:
  CKqdService() : CServiceBase(kServiceName, true, true, false) {}
  ~CKqdService() override;

 protected:
  void OnStart() override;
  void OnStop() override;

  // Overridable so the hooks can be exercised with chosen sources and services.
  virtual std::unique_ptr<CZarnModeController> CreateController();
  virtual bool QueryServiceRunning(PCWSTR name) { return IsServiceRunning(name); }
  virtual void PausePoll() { ::Sleep(kPrerequisitePollMs); }

 private:
  bool WaitForPrerequisites(bool olderSystem);
  void RegisterUninstallTaskOnOlderSystem();

  std::mutex serviceLock_;  // held for the whole of OnStart and OnStop
  std::unique_ptr<CZarnModeController> controller_;
};

}  // namespace kqd
