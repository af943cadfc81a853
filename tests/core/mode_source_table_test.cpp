#include "core/mode_source_table.h"

#include <gtest/gtest.h>

#include <string>

namespace kqd {
namespace {

// The testbed's commands and records spell sources by these names.
TEST(ModeSourceTable, NamesRoundTrip) {
  for (const ModeSourceInfo& source : kModeSources) {
    EXPECT_EQ(ParseModeSourceName(ModeSourceName(source.kind)), source.kind) << source.name;
  }
  for (const char* name : {"", "none", "Sensor", "wmi ", "firmware"}) {
    EXPECT_FALSE(ParseModeSourceName(name).has_value()) << name;
  }
}

// As the testbed's "sources" command and kqdtrace print it. A kind that no row has
// publishes at once, with every switch on as a controller starts.
TEST(ModeSourceTable, RowsInTheOrderOfPreference) {
  EXPECT_EQ(FormatModeSourceTable(), "source kind delay_ms slate_sync posture_code raw_mode\n"
                                     "wmi 2 " + std::to_string(kWmiBurstWindowMs) + " 1 1 1\n"
                                     "sensor 1 " + std::to_string(kSensorDebounceMs) + " 1 1 1\n"
                                     "driver 3 0 0 0 0\n");
  EXPECT_EQ(ModeSourceNames(), "wmi|sensor|driver");
  EXPECT_EQ(ModeSourceDelayMs(kSourceNone), 0u);
  EXPECT_EQ(ModeSourceSwitches(kSourceNone), (BroadcastSwitches{1, 1, 1}));
}

}  // namespace
}  // namespace kqd
