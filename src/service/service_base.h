#pragma once
// Connects the process to the service control manager and runs the service's
// work on one thread-pool item, the worker, which calls OnStart and OnStop.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "win/event.h"

namespace kqd {

class CServiceBase {
 public:
  // Raises the Windows error code (DWORD) when one of its events cannot be created.
  CServiceBase(PCWSTR name, bool canStop, bool canShutdown, bool canPauseContinue);
  virtual ~CServiceBase();

  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  // Hands the calling thread to the dispatcher; true once the service has stopped,
  // false at once when the dispatcher could not start (GetLastError tells why).
  bool Run();

  static void WINAPI ServiceMain(DWORD argc, PWSTR* argv);
  static DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);

  void Start(DWORD argc, PWSTR* argv);
  void Stop();
  void Shutdown();
  void Pause();
  void Continue();

  void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHint = 0);

  // Raises the Windows error code when the item cannot be queued.
  void QueueWorkItem(void (*function)(void*), void* context, ULONG flags);

  bool IsStopping() const noexcept { return stopping_.load() != 0; }

 protected:
  // The service's own work, called on the worker only, never concurrently.
  virtual void OnStart() {}
  virtual void OnStop() {}

  // The platform calls the framework makes, overridable so the framework can be
  // exercised without a service control manager.
  virtual BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table);
  virtual SERVICE_STATUS_HANDLE RegisterControlHandler(PCWSTR name, LPHANDLER_FUNCTION_EX handler);
  virtual BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
  virtual DWORD RegisterPowerSetting(const GUID& setting, SERVICE_STATUS_HANDLE recipient,
                                     HPOWERNOTIFY* registration);
  virtual DWORD UnregisterPowerSetting(HPOWERNOTIFY registration);
  virtual BOOL QueueUserWork(LPTHREAD_START_ROUTINE routine, PVOID context, ULONG flags);

 private:
  struct PowerRegistrationList {
    std::unique_ptr<HPOWERNOTIFY[]> handles;
    int32_t count = 0;
  };

  void RunServiceMain(DWORD argc, PWSTR* argv);
  void HandleControl(DWORD control, DWORD eventType, LPVOID eventData);
  void SignalStopToWorker();
  void RequestWorker(const win::Event& wanted, const win::Event& superseded);
  static void ServiceWorker(void* context);
  void RunWorker();

  PCWSTR name_;
  std::mutex statusLock_;  // reports come from the service thread and the control thread
  SERVICE_STATUS status_{};
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  std::unique_ptr<PowerRegistrationList> powerRegistrations_;
  std::atomic<LONG> stopping_{0};
  win::Event stoppedEvent_;
  win::Event startRequestEvent_;
  win::Event stopRequestEvent_;

  static std::atomic<CServiceBase*> instance_;
};

// The power settings registered by ServiceMain, in registration order.
extern const GUID kRegisteredPowerSettings[4];

}  // namespace kqd
