#include "setup/self_removal.h"

namespace kqd {

// Until the package check exists the device always counts as installed, so the
// removal steps below are never reached.
bool IsDeviceStillInstalled() { return true; }

void StopAndDeleteService(PCWSTR /*serviceName*/) {}

void FinishSelfRemoval() {}

}  // namespace kqd
