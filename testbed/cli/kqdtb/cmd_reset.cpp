// doubles-reset: every double's plan and record back to where a freshly installed
// double starts, so that a test begins from a known machine whatever ran before.

#include "command.h"
#include "doubles/davodira/davodira_client.h"
#include "doubles/power/power_client.h"
#include "doubles/pwraux/pwraux_client.h"
#include "doubles/slate/slate_client.h"
#include "doubles/davodira/davodira_contract.h"
#include "doubles/sensors/sensors_double.h"
#include "doubles/taskschd/taskschd_double.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb {
namespace {

int RunReset(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe doubles-reset\n");
    return 2;
  }
  int failures = 0;
  auto step = [&](bool done, const wchar_t* what) {
    if (!done) {
      Err(L"kqdtb doubles-reset: %ls failed\n", what);
      ++failures;
    }
  };
  step(wmi::ResetConfig() && wmi::ClearRecord(), L"the WMI double's configuration and record");
  step(sensors::ClearConfig(), L"the Sensor API double's sensors");
  // Kernel doubles only where they are loaded; a missing one has nothing to forget.
  if (davodira::IsPresent()) {
    step(davodira::SetHold(false) && davodira::SetFail(false) && davodira::SetAnswer(DAVODIRA_INITIAL_ANSWER) &&
             davodira::Clear() &&
             davodira::WriteType2(0),
         L"the power-management driver double");
  }
  if (pwraux::IsPresent()) step(pwraux::FailNext(0) && pwraux::Clear(), L"the energy-management driver double");
  // Before the slate state: a holder left running would keep the indicator from the service.
  if (slate::HolderRunning()) {
    step(slate::ReleaseHolder(10000) == slate::Release::Ended, L"the slate-toggle indicator's holder");
  }
  if (slate::IsPresent(0)) {
    // The state first, so that the emptied records do not start with its change.
    step(slate::SetLag(slate::kDefaultLagMs) && slate::SetState(slate::SlateState::Slate),
         L"the machine's slate state");
    for (int device = 0; device < slate::kDeviceCount; ++device) {
      step(slate::ResetCounters(device), L"a slate-toggle device");
    }
    step(slate::SetInterfaces(slate::InterfaceSet::Both), L"the slate-toggle interfaces");
  }
  step(power::ClearRecord() && power::ResetMachineState(), L"the powrprof double's record and the machine's power settings");
  step(taskschd::SetUnreachable(taskschd::kReachable) && taskschd::ClearStore(), L"the Task Scheduler double");
  if (failures != 0) return 1;
  Out(L"doubles reset\n");
  return 0;
}

TestbedCommand reset{L"doubles-reset", L"(every double's failure plan, holds and records back to a fresh install)",
                     &RunReset};

}  // namespace
}  // namespace kqdtb
