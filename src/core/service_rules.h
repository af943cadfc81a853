#pragma once
// Service-status and control rules, with the Windows values spelled out so
// that they can be checked without <windows.h>.

#include <cstdint>

namespace kqd {

namespace service_state {
inline constexpr uint32_t kStopped = 1;
inline constexpr uint32_t kStartPending = 2;
inline constexpr uint32_t kStopPending = 3;
inline constexpr uint32_t kRunning = 4;
inline constexpr uint32_t kContinuePending = 5;
inline constexpr uint32_t kPausePending = 6;
inline constexpr uint32_t kPaused = 7;
}  // namespace service_state

namespace service_control {
inline constexpr uint32_t kStop = 1;
inline constexpr uint32_t kPause = 2;
inline constexpr uint32_t kContinue = 3;
inline constexpr uint32_t kInterrogate = 4;
inline constexpr uint32_t kShutdown = 5;
inline constexpr uint32_t kPowerEvent = 13;
inline constexpr uint32_t kSessionChange = 14;
inline constexpr uint32_t kPowerSettingChange = 0x8013;  // PBT_POWERSETTINGCHANGE
}  // namespace service_control

// dwControlsAccepted: stop 0x1, shutdown 0x4, pause/continue 0x2, and always
// power event 0x40 and session change 0x80.
uint32_t AcceptedControls(bool canStop, bool canShutdown, bool canPauseContinue);

// Pending states carry the process-wide checkpoint; running and stopped carry 0.
bool TakesCheckpoint(uint32_t state);

enum class ControlAction { None, Stop, Pause, Continue, Shutdown, DisplayOff, DisplayOn };

// What the control handler does. For a power event, isConsoleDisplay tells whether
// the setting is GUID_CONSOLE_DISPLAY_STATE and data/dataLength are its payload;
// an empty or absent payload decides nothing.
ControlAction ClassifyControl(uint32_t control, uint32_t eventType, bool isConsoleDisplay,
                             const uint8_t* data, uint32_t dataLength);

}  // namespace kqd
