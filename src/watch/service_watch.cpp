#include "watch/service_watch.h"

#include "service/kqd_service.h"

namespace kqd::watch {
namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

// SERVICE_NOTIFY_STOPPED (0x1) to SERVICE_NOTIFY_PAUSED (0x40), one bit per state.
constexpr DWORD kEveryState = 0x7F;
constexpr DWORD StateBit(DWORD state) { return state >= 1 && state <= 7 ? 1u << (state - 1) : 0; }

// ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, which MinGW's winerror.h lacks.
constexpr DWORD kNotifyClientLagging = 1294;

}  // namespace

DWORD ServiceWatch::Start() {
  manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager_) return ::GetLastError();
  servicesEvent_ = win::Event::Auto();
  if (!servicesEvent_) return ::GetLastError();
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_NOTIFY, servicesKey_.put());
  if (opened != ERROR_SUCCESS) return static_cast<DWORD>(opened);
  return OnServicesKeyChanged();
}

DWORD ServiceWatch::OnServicesKeyChanged() {
  // Armed before the look, so a service created meanwhile wakes the loop again.
  const LSTATUS armed = ::RegNotifyChangeKeyValue(servicesKey_.get(), FALSE, REG_NOTIFY_CHANGE_NAME,
                                                  servicesEvent_.get(), TRUE);
  if (armed != ERROR_SUCCESS) return static_cast<DWORD>(armed);
  return service_ ? 0 : Open();
}

DWORD ServiceWatch::Open() {
  service_.reset(::OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service_) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) return error;
    current_ = {ServiceObservation::Kind::Absent};
    return 0;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
    return ::GetLastError();
  }
  current_ = {ServiceObservation::Kind::Present, status.dwCurrentState, status.dwProcessId};
  return Arm();
}

DWORD ServiceWatch::Arm() {
  notify_ = {};
  notify_.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify_.pfnNotifyCallback = &ServiceWatch::OnStatusChange;
  notify_.pContext = this;
  // Every other state: asking for the one just seen could answer at once, again and again.
  const DWORD mask = (kEveryState & ~StateBit(current_.state)) | SERVICE_NOTIFY_DELETE_PENDING;
  switch (const DWORD result = ::NotifyServiceStatusChangeW(service_.get(), mask, &notify_)) {
    case ERROR_SUCCESS: return 0;
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      current_ = {ServiceObservation::Kind::DeletePending};
      service_.reset();  // the entry goes only once every handle is closed
      return 0;
    case kNotifyClientLagging:
      service_.reset();
      return Open();
    default: return result;
  }
}

void CALLBACK ServiceWatch::OnStatusChange(void* parameter) {
  auto* self = static_cast<ServiceWatch*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext);
  self->notified_ = true;
}

DWORD ServiceWatch::OnNotified() {
  if (!notified_) return 0;
  notified_ = false;
  const win::UniqueLocal names(notify_.pszServiceNames);  // the manager's to hand over, ours to free
  notify_.pszServiceNames = nullptr;
  if (!service_) return 0;
  if (notify_.dwNotificationStatus != ERROR_SUCCESS) {
    service_.reset();
    return Open();
  }
  if (notify_.dwNotificationTriggered & SERVICE_NOTIFY_DELETE_PENDING) {
    current_ = {ServiceObservation::Kind::DeletePending};
    service_.reset();
    return 0;
  }
  current_ = {ServiceObservation::Kind::Present, notify_.ServiceStatus.dwCurrentState,
              notify_.ServiceStatus.dwProcessId};
  return Arm();
}

}  // namespace kqd::watch
