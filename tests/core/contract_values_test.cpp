#include <gtest/gtest.h>

#include <cstdint>

#include "core/broadcast_rules.h"
#include "core/driver_mode.h"
#include "core/mode_source_table.h"
#include "core/owner_list.h"
#include "core/posture_rule.h"
#include "core/service_rules.h"
#include "core/slate_toggle.h"
#include "core/task_definition.h"

namespace kqd {
namespace {

// CTL_CODE(DeviceType, Function, METHOD_BUFFERED, FILE_ANY_ACCESS) of winioctl.h.
constexpr double CtlCode(uint32_t deviceType, uint32_t function) { return (deviceType << 16) | (function << 2); }

// The values that the documentation and the other side of each interface fix. The
// other tests take their angles and times from these constants, so they would move
// with a changed one: this is the one place that holds each to its value, and the
// place to change it on purpose.
TEST(ContractValues, AsDocumented) {
  struct Row {
    const char* name;
    double value;
    double documented;
  };
  const Row rows[] = {
      {"laptop below, degrees", kPostureLaptopBelow, 190},
      {"tablet above, degrees", kPostureTabletAbove, 350},
      {"fold split, degrees", kPostureFoldSplit, 180},
      {"margin, degrees", kPostureMargin, 3},
      {"A below this wraps, degrees", kPostureWrapBelow, 10},
      {"wrapped A, degrees", kPostureWrapTo, 360},
      {"sensor debounce, ms", kSensorDebounceMs, 200},
      {"WMI burst window, ms", kWmiBurstWindowMs, 10},
      {"sensor publication early by at most, ms", kSensorDebounceTolerance.earlyMs, 10},
      {"sensor median late by at most, ms", kSensorDebounceTolerance.medianMarginMs, 12},
      {"WMI publication early by at most, ms", kWmiBurstWindowTolerance.earlyMs, 1},
      {"WMI median late by at most, ms", kWmiBurstWindowTolerance.medianMarginMs, 15},
      {"driver publication early by at most, ms", kDriverPublishTolerance.earlyMs, 0},
      {"driver median late by at most, ms", kDriverPublishTolerance.medianMarginMs, 12},
      {"slate toggle show limit, ms", kSlateToggleShowLimitMs, 2000},
      {"slate toggle poll, ms", kSlateTogglePollMs, 10},
      {"energy-management notify IOCTL", kPwrAuxNotifyControlCode, CtlCode(0x8310, 0x830)},
      {"driver mode IOCTL (FILE_DEVICE_UNKNOWN)", kDriverModeControlCode, CtlCode(0x22, 0x9C0)},
      {"path buffer, characters (MAX_PATH)", kPathCapacity, 260},
      {"SERVICE_CONTROL_INTERROGATE", service_control::kInterrogate, 4},
      {"SERVICE_CONTROL_SESSIONCHANGE", service_control::kSessionChange, 14},
      {"TASK_RUNLEVEL_HIGHEST", taskschd::kRunLevelHighest, 1},
      {"TASK_LOGON_SERVICE_ACCOUNT", taskschd::kLogonServiceAccount, 5},
      {"TASK_CREATE_OR_UPDATE", taskschd::kCreateOrUpdate, 6},
      {"TASK_TRIGGER_EVENT", taskschd::kTriggerEvent, 0},
      {"TASK_ACTION_EXEC", taskschd::kActionExec, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(row.value, row.documented) << row.name;
}

}  // namespace
}  // namespace kqd
