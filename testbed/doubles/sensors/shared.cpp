// The double's state, and the status it publishes for other processes.

#include "doubles/sensors/shared.h"

#include "doubles/sensors/sensor.h"
#include "doubles/sensors/sensor_manager.h"

namespace kqdtb::sensors {

State& S() {
  static State* state = new State();
  return *state;
}

void PublishStatus() {
  DWORD managerSinks = 0;
  DWORD sensorSinks = 0;
  uint64_t delivered = 0;
  {
    std::lock_guard guard(S().lock);
    if (!S().channel) return;
    for (auto* manager : S().managers) managerSinks += manager->sink ? 1 : 0;
    for (const auto& sensor : S().sensors) sensorSinks += sensor && sensor->sink ? 1 : 0;
    delivered = S().delivered;
  }
  WriteStatus(kManagerSinksValue, managerSinks);
  WriteStatus(kSensorSinksValue, sensorSinks);
  WriteStatus(kReportsDeliveredValue, static_cast<DWORD>(delivered));
}

}  // namespace kqdtb::sensors
