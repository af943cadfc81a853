#include "mode/mode_sources.h"

#include "sources/driver_mode_source.h"
#include "sources/sensor_manager_events.h"
#include "sources/wmi_mode_source.h"

namespace kqd {

ModeSourceFactory DefaultModeSources() {
  ModeSourceFactory factory;
  factory.wmi = [](CZarnModeController& controller) { return std::make_unique<CWmiModeSource>(controller); };
  factory.sensor = [](CZarnModeController& controller) { return std::make_unique<CSensorManagerEvents>(controller); };
  factory.driver = [](CZarnModeController& controller) { return std::make_unique<CDriverModeSource>(controller); };
  return factory;
}

}  // namespace kqd
