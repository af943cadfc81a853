#include "mode/mode_sources.h"

#include "sources/driver_mode_source.h"

namespace kqd {

ModeSourceFactory DefaultModeSources() {
  ModeSourceFactory factory;
  factory.driver = [](CZarnModeController& controller) { return std::make_unique<CDriverModeSource>(controller); };
  return factory;
}

}  // namespace kqd
