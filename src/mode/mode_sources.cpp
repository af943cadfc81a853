#include "mode/mode_sources.h"

namespace kqd {

// No source of this build is wired in yet: each counts as unavailable, so the
// controller runs with no source selected.
ModeSourceFactory DefaultModeSources() {
  ModeSourceFactory factory;
  factory.wmi = [](CZarnModeController&) { return std::unique_ptr<IWmiModeSource>(); };
  factory.sensor = [](CZarnModeController&) { return std::unique_ptr<ISensorModeSource>(); };
  factory.driver = [](CZarnModeController&) { return std::unique_ptr<IDriverModeSource>(); };
  return factory;
}

}  // namespace kqd
