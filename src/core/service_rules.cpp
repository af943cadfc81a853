#include "service_rules.h"

namespace kqd {

uint32_t AcceptedControls(bool canStop, bool canShutdown, bool canPauseContinue) {
  uint32_t mask = 0x40 | 0x80;
  if (canStop) mask |= 0x1;
  if (canShutdown) mask |= 0x4;
  if (canPauseContinue) mask |= 0x2;
  return mask;
}

bool TakesCheckpoint(uint32_t state) {
  return state != service_state::kRunning && state != service_state::kStopped;
}

ControlAction ClassifyControl(uint32_t control, uint32_t eventType, bool isConsoleDisplay,
                              const uint8_t* data, uint32_t dataLength) {
  using namespace service_control;
  switch (control) {
    case kStop: return ControlAction::Stop;
    case kPause: return ControlAction::Pause;
    case kContinue: return ControlAction::Continue;
    case kShutdown: return ControlAction::Shutdown;
    case kPowerEvent:
      if (eventType != kPowerSettingChange || !isConsoleDisplay) return ControlAction::None;
      if (data == nullptr || dataLength == 0) return ControlAction::None;
      if (data[0] == 0) return ControlAction::DisplayOff;
      if (data[0] == 1) return ControlAction::DisplayOn;
      return ControlAction::None;  // 2: dimmed
    default: return ControlAction::None;
  }
}

}  // namespace kqd
