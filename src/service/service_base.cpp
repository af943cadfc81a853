#include "service/service_base.h"

#include <powrprof.h>

#include "core/service_rules.h"

// Present in libpowrprof but missing from the MinGW header.
extern "C" DWORD WINAPI PowerSettingRegisterNotification(LPCGUID settingGuid, DWORD flags,
                                                          HANDLE recipient,
                                                          PHPOWERNOTIFY registrationHandle);
extern "C" DWORD WINAPI PowerSettingUnregisterNotification(HPOWERNOTIFY registrationHandle);

namespace kqd {

const GUID kRegisteredPowerSettings[4] = {
    // GUID_ACDC_POWER_SOURCE
    {0x5D3E9A59, 0xE9D5, 0x4B00, {0xA6, 0xBD, 0xFF, 0x34, 0xFF, 0x51, 0x65, 0x48}},
    // GUID_CONSOLE_DISPLAY_STATE
    {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}},
    // GUID_SESSION_DISPLAY_STATUS
    {0x2B84C20E, 0xAD23, 0x4DDF, {0x93, 0xDB, 0x05, 0xFF, 0xBD, 0x7E, 0xFC, 0xA5}},
    // GUID_LIDSWITCH_STATE_CHANGE
    {0xBA3E0F4D, 0xB817, 0x4094, {0xA2, 0xD1, 0xD5, 0x63, 0x79, 0xE6, 0xA0, 0xF3}},
};

namespace {

const GUID& kConsoleDisplayState = kRegisteredPowerSettings[1];

// Process-wide: checkpoints count 1, 2, 3... across every pending report of the process.
std::atomic<DWORD> g_checkpoint{1};

struct WorkItem {
  void (*function)(void*);
  void* context;
};

DWORD WINAPI WorkItemTrampoline(LPVOID parameter) {
  std::unique_ptr<WorkItem> item(static_cast<WorkItem*>(parameter));
  item->function(item->context);
  return 0;
}

win::Event EventOrThrow(win::Event event) {
  if (!event) throw static_cast<DWORD>(::GetLastError());
  return event;
}

}  // namespace

std::atomic<CServiceBase*> CServiceBase::instance_{nullptr};

CServiceBase::CServiceBase(PCWSTR name, bool canStop, bool canShutdown, bool canPauseContinue)
    : name_(name != nullptr ? name : L""),
      stoppedEvent_(EventOrThrow(win::Event::Manual(false, L"CServiceStopped"))),
      // A worker waiting on a missing request event would wake without end, so
      // these fail the construction just like the stopped event.
      startRequestEvent_(EventOrThrow(win::Event::Auto())),
      stopRequestEvent_(EventOrThrow(win::Event::Auto())) {
  // The name is global: an event another process left signalled would let a stop
  // report before the worker has finished.
  stoppedEvent_.Reset();
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = SERVICE_START_PENDING;
  status_.dwControlsAccepted = AcceptedControls(canStop, canShutdown, canPauseContinue);
}

CServiceBase::~CServiceBase() {
  CServiceBase* self = this;
  instance_.compare_exchange_strong(self, nullptr);
}

bool CServiceBase::Run() {
  instance_.store(this);
  const SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<PWSTR>(name_), &CServiceBase::ServiceMain},
      {nullptr, nullptr},
  };
  return StartDispatcher(table) != FALSE;
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, PWSTR* argv) {
  if (CServiceBase* service = instance_.load()) service->RunServiceMain(argc, argv);
}

DWORD WINAPI CServiceBase::ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                              LPVOID /*context*/) {
  if (CServiceBase* service = instance_.load()) service->HandleControl(control, eventType, eventData);
  return NO_ERROR;
}

void CServiceBase::RunServiceMain(DWORD argc, PWSTR* argv) {
  statusHandle_ = RegisterControlHandler(name_, &CServiceBase::ServiceCtrlHandler);
  if (statusHandle_ == nullptr) return;
  try {
    auto list = std::make_unique<PowerRegistrationList>();
    list->count = 4;
    list->handles = std::make_unique<HPOWERNOTIFY[]>(4);
    for (int i = 0; i < list->count; ++i) {
      if (RegisterPowerSetting(kRegisteredPowerSettings[i], statusHandle_, &list->handles[i]) != 0) {
        list->handles[i] = nullptr;
      }
    }
    powerRegistrations_ = std::move(list);
    Start(argc, argv);
  } catch (...) {
  }
}

void CServiceBase::HandleControl(DWORD control, DWORD eventType, LPVOID eventData) {
  bool isConsoleDisplay = false;
  const uint8_t* data = nullptr;
  DWORD dataLength = 0;
  if (control == SERVICE_CONTROL_POWEREVENT && eventType == PBT_POWERSETTINGCHANGE && eventData) {
    const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(eventData);
    isConsoleDisplay = IsEqualGUID(setting->PowerSetting, kConsoleDisplayState) != FALSE;
    data = setting->Data;
    dataLength = setting->DataLength;
  }
  try {
    switch (ClassifyControl(control, eventType, isConsoleDisplay, data, dataLength)) {
      case ControlAction::Stop: Stop(); break;
      case ControlAction::Pause: Pause(); break;
      case ControlAction::Continue: Continue(); break;
      case ControlAction::Shutdown: Shutdown(); break;
      case ControlAction::DisplayOff: RequestWorker(stopRequestEvent_, startRequestEvent_); break;
      case ControlAction::DisplayOn: RequestWorker(startRequestEvent_, stopRequestEvent_); break;
      case ControlAction::None: break;
    }
  } catch (...) {
  }
}

void CServiceBase::Start(DWORD /*argc*/, PWSTR* /*argv*/) {
  try {
    ReportStatus(SERVICE_START_PENDING);
    QueueWorkItem(&CServiceBase::ServiceWorker, this, WT_EXECUTELONGFUNCTION);
    startRequestEvent_.Set();
    ReportStatus(SERVICE_RUNNING);
  } catch (DWORD error) {
    ReportStatus(SERVICE_STOPPED, error);
  } catch (...) {
    ReportStatus(SERVICE_STOPPED);
  }
}

// The later display request replaces an earlier one still pending: with both set,
// the worker would run OnStart and then OnStop and leave detection off while the
// display is on. Set after reset, so a request is never lost in between.
void CServiceBase::RequestWorker(const win::Event& wanted, const win::Event& superseded) {
  superseded.Reset();
  wanted.Set();
}

// Stop request first, then the flag, then the start request: the worker wakes at
// least once after the flag is set, whichever event it sees.
void CServiceBase::SignalStopToWorker() {
  stopRequestEvent_.Set();
  stopping_.store(1);
  startRequestEvent_.Set();
}

void CServiceBase::Stop() {
  DWORD original;
  {
    std::lock_guard lock(statusLock_);
    original = status_.dwCurrentState;
  }
  ReportStatus(SERVICE_STOP_PENDING);
  SignalStopToWorker();
  if (stoppedEvent_.Wait(INFINITE) == WAIT_OBJECT_0) {
    ReportStatus(SERVICE_STOPPED);
  } else {
    ReportStatus(original);
  }
}

void CServiceBase::Shutdown() {
  if (powerRegistrations_ && powerRegistrations_->handles) {
    for (int32_t i = 0; i < powerRegistrations_->count; ++i) {
      UnregisterPowerSetting(powerRegistrations_->handles[i]);
    }
  }
  SignalStopToWorker();
  if (stoppedEvent_ && stoppedEvent_.Wait(INFINITE) != WAIT_OBJECT_0) return;
  ReportStatus(SERVICE_STOPPED);
}

void CServiceBase::Pause() {
  ReportStatus(SERVICE_PAUSE_PENDING);
  ReportStatus(SERVICE_PAUSED);
}

void CServiceBase::Continue() {
  ReportStatus(SERVICE_CONTINUE_PENDING);
  ReportStatus(SERVICE_RUNNING);
}

void CServiceBase::ReportStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
  std::lock_guard lock(statusLock_);
  status_.dwCurrentState = state;
  status_.dwWin32ExitCode = exitCode;
  status_.dwWaitHint = waitHint;
  status_.dwCheckPoint = TakesCheckpoint(state) ? g_checkpoint.fetch_add(1) : 0;
  SetStatus(statusHandle_, &status_);
}

void CServiceBase::QueueWorkItem(void (*function)(void*), void* context, ULONG flags) {
  auto item = std::make_unique<WorkItem>(WorkItem{function, context});
  if (!QueueUserWork(&WorkItemTrampoline, item.get(), flags)) {
    throw static_cast<DWORD>(::GetLastError());
  }
  item.release();  // the trampoline owns it now
}

void CServiceBase::ServiceWorker(void* context) { static_cast<CServiceBase*>(context)->RunWorker(); }

void CServiceBase::RunWorker() {
  const HANDLE requests[] = {startRequestEvent_.get(), stopRequestEvent_.get()};
  auto wait = [&] { return ::WaitForMultipleObjects(2, requests, FALSE, INFINITE); };
  // Nothing may escape into the thread pool; the hooks catch their own, this is the backstop.
  auto guarded = [](auto&& hook) {
    try {
      hook();
    } catch (...) {
    }
  };
  // The flag is tested after every wake, so no OnStart runs once stopping.
  for (DWORD woke = wait(); stopping_.load() == 0; woke = wait()) {
    if (woke == WAIT_OBJECT_0) {
      guarded([this] { OnStart(); });
    } else if (woke == WAIT_OBJECT_0 + 1) {
      guarded([this] { OnStop(); });
    }
  }
  guarded([this] { OnStop(); });
  stoppedEvent_.Set();
}

BOOL CServiceBase::StartDispatcher(const SERVICE_TABLE_ENTRYW* table) {
  return ::StartServiceCtrlDispatcherW(table);
}

SERVICE_STATUS_HANDLE CServiceBase::RegisterControlHandler(PCWSTR name, LPHANDLER_FUNCTION_EX handler) {
  return ::RegisterServiceCtrlHandlerExW(name, handler, nullptr);
}

BOOL CServiceBase::SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  return ::SetServiceStatus(handle, status);
}

DWORD CServiceBase::RegisterPowerSetting(const GUID& setting, SERVICE_STATUS_HANDLE recipient,
                                         HPOWERNOTIFY* registration) {
  return ::PowerSettingRegisterNotification(&setting, DEVICE_NOTIFY_SERVICE_HANDLE, recipient,
                                            registration);
}

DWORD CServiceBase::UnregisterPowerSetting(HPOWERNOTIFY registration) {
  return ::PowerSettingUnregisterNotification(registration);
}

BOOL CServiceBase::QueueUserWork(LPTHREAD_START_ROUTINE routine, PVOID context, ULONG flags) {
  return ::QueueUserWorkItem(routine, context, flags);
}

}  // namespace kqd
