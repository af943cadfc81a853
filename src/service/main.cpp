// kqd.exe: the service "KQD", or with "-PnPTask" its own removal. Exits 0 on every path.

#include <windows.h>

#include "core/command_line.h"
#include "mode/mode_store.h"
#include "service/kqd_service.h"
#include "setup/self_removal.h"
#include "win/com_init.h"
#include "win/output.h"
#include "win/wide.h"

namespace {

void RunPnPTask() {
  if (kqd::IsDeviceStillInstalled()) return;
  // Each step runs whatever the one before it reported.
  kqd::StopAndDeleteService(kqd::kServiceName);
  kqd::DeleteModeStore();
  kqd::FinishSelfRemoval();
}

void RunService() {
  try {
    kqd::CKqdService service;
    if (!service.Run()) {
      kqd::win::ConsoleOut(L"Service failed to run w/err 0x%08lx\n", ::GetLastError());
    }
  } catch (...) {
  }
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  if (!kqd::win::InitializeComWithRetry()) kqd::win::ConsoleOut(L"Failed init COM at wmain.\n");

  switch (kqd::ParseCommandLine(argc, kqd::win::AsU16(argv))) {
    case kqd::CommandAction::RunService: RunService(); break;
    case kqd::CommandAction::PnPTask: RunPnPTask(); break;
    case kqd::CommandAction::Install:
    case kqd::CommandAction::Uninstall:
    case kqd::CommandAction::Ignore: break;
  }
  return 0;
}
