#pragma once
// The one service of the process, "KQD": its start and stop hooks drive mode detection.

#include <mutex>

#include "service/service_base.h"

namespace kqd {

inline constexpr wchar_t kServiceName[] = L"KQD";

class CKqdService final : public CServiceBase {
 public:
  CKqdService() : CServiceBase(kServiceName, true, true, false) {}

 protected:
  void OnStart() override;
  void OnStop() override;

 private:
  std::mutex serviceLock_;  // held for the whole of OnStart and OnStop
};

}  // namespace kqd
