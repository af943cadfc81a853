#pragma once
// The "-PnPTask" clean-up once the driver package is gone.

#include <windows.h>

namespace kqd {

// The embedded INF: RCDATA of this executable (kqddrv.rc).
inline constexpr WORD kEmbeddedInfResourceId = 129;

// True while an owning INF of the service is in the Windows INF directory, or when
// that cannot be established.
bool IsDeviceStillInstalled();

// `names`: NUL-terminated names ending with an empty one. True when one of them is
// in the Windows INF directory, or when the directory or a path cannot be formed.
bool IsAnyOwnerInfPresent(PCWSTR names);

// Stops and deletes the service, with console progress and error lines.
void StopAndDeleteService(PCWSTR serviceName);

// Deletes the uninstall task, writes the embedded INF to the system directory and
// starts its uninstall section through rundll32 without waiting for it.
void FinishSelfRemoval();

// Writes the embedded INF to a new file at `path` whose DACL grants LocalSystem
// alone all access; a file already there is deleted first.
bool WriteEmbeddedInf(PCWSTR path);

}  // namespace kqd
