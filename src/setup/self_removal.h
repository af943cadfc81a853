#pragma once
// The "-PnPTask" clean-up once the driver package is gone.

#include <windows.h>

namespace kqd {

bool IsDeviceStillInstalled();
void StopAndDeleteService(PCWSTR serviceName);
void FinishSelfRemoval();

}  // namespace kqd
