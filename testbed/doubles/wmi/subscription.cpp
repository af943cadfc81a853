// Event delivery to a subscription's sink, and the process-wide handles that fire it.

#include "doubles/wmi/subscription.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "doubles/wmi/control.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

std::atomic<uint64_t> g_delivered{0};

// Process-wide delivery handles: the testbed's named ones and a local one for tests.
struct Signals {
  UniqueHandleNull localFire{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, nullptr)};
  UniqueHandleNull fire{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, kFireSemaphore)};
  UniqueHandleNull delivered{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, kDeliveredSemaphore)};
  UniqueHandleNull subscribed{::CreateEventW(nullptr, TRUE, FALSE, kSubscribedEvent)};
};

Signals& ProcessSignals() {
  static Signals signals;
  return signals;
}

std::mutex g_subscriptionLock;
size_t g_subscriptions = 0;

void CountSubscription(bool added) {
  std::lock_guard lock(g_subscriptionLock);
  Signals& signals = ProcessSignals();
  if (added) {
    if (g_subscriptions++ == 0 && signals.subscribed) ::SetEvent(signals.subscribed.get());
    return;
  }
  if (--g_subscriptions == 0) {
    if (signals.subscribed) ::ResetEvent(signals.subscribed.get());
    // A local fire nobody took must not reach the next subscription.
    while (signals.localFire && ::WaitForSingleObject(signals.localFire.get(), 0) == WAIT_OBJECT_0) {
    }
  }
}

}  // namespace

Subscription::Subscription(ComPtr<IWbemObjectSink> sink)
    : sink_(std::move(sink)), cancel_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  ++Counts::live;
}
Subscription::~Subscription() { --Counts::live; }

HRESULT Subscription::Start(const std::shared_ptr<Subscription>& self) {
  if (!self->cancel_) return WBEM_E_FAILED;
  self->thread_ = std::thread([self] { self->Run(); });
  CountSubscription(true);
  detail::RecordPlain("subscribe", NowMicros());
  return WBEM_S_NO_ERROR;
}

void Subscription::End() {
  ::SetEvent(cancel_.get());
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  sink_->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
  detail::RecordPlain("cancel", NowMicros());
  if (const DWORD lateMs = ReadConfig().lateEventMs) DeliverLate(sink_, lateMs);
  sink_.reset();
  CountSubscription(false);
}

void Subscription::Run() {
  const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  Signals& signals = ProcessSignals();
  const HANDLE waits[] = {cancel_.get(), signals.localFire.get(), signals.fire.get()};
  const DWORD count = waits[2] != nullptr ? 3 : 2;
  for (;;) {
    const DWORD woke = ::WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 || woke >= WAIT_OBJECT_0 + count) break;
    Deliver();
  }
  if (com) ::CoUninitialize();
}

void Subscription::DeliverLate(ComPtr<IWbemObjectSink> sink, DWORD lateMs) {
  std::thread([sink = std::move(sink), lateMs] {
    ::Sleep(lateMs);
    const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    try {
      const ComPtr<IWbemClassObject> event = MakeObject(kEventClass);
      detail::RecordPlain("late", NowMicros());
      IWbemClassObject* objects[] = {event.get()};
      sink->Indicate(1, objects);
    } catch (const std::bad_alloc&) {
    }
    if (com) ::CoUninitialize();
  }).detach();
}

void Subscription::Deliver() {
  ComPtr<IWbemClassObject> event;
  try {
    event = MakeObject(kEventClass);
  } catch (const std::bad_alloc&) {
    return;
  }
  const ComPtr<IWbemObjectSink> sink = sink_;  // the sink may cancel from inside Indicate
  detail::RecordPlain("event", NowMicros());
  IWbemClassObject* objects[] = {event.get()};
  sink->Indicate(1, objects);
  ++g_delivered;
  if (ProcessSignals().delivered) ::ReleaseSemaphore(ProcessSignals().delivered.get(), 1, nullptr);
}

size_t ActiveSubscriptions() {
  std::lock_guard lock(g_subscriptionLock);
  return g_subscriptions;
}

uint64_t DeliveredEvents() { return g_delivered.load(); }

void FireLocal() {
  if (ProcessSignals().localFire) ::ReleaseSemaphore(ProcessSignals().localFire.get(), 1, nullptr);
}

}  // namespace kqdtb::wmi
