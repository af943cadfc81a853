#pragma once
// One event subscription with its own delivery thread, as IWbemServices::
// ExecNotificationQueryAsync starts and CancelAsyncCall ends it.

#include <memory>
#include <thread>

#include "doubles/wmi/shared.h"

namespace kqdtb::wmi {

class Subscription {
 public:
  explicit Subscription(ComPtr<IWbemObjectSink> sink);
  ~Subscription();
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  IWbemObjectSink* sink() const { return sink_.get(); }

  static HRESULT Start(const std::shared_ptr<Subscription>& self);

  // The thread has ended when this returns, unless the sink cancelled from inside Indicate.
  void End();

 private:
  void Run();

  // Detached: the sink's reference keeps it alive, and the caller may be gone by then.
  static void DeliverLate(ComPtr<IWbemObjectSink> sink, DWORD lateMs);

  void Deliver();

  ComPtr<IWbemObjectSink> sink_;
  UniqueHandleNull cancel_;
  std::thread thread_;
};

}  // namespace kqdtb::wmi
