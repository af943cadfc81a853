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
// publishes at once, with every switch on as a controller starts, and no tolerance.
TEST(ModeSourceTable, RowsInTheOrderOfPreference) {
  auto row = [](const char* head, uint32_t delay, const char* switches, PublishTolerance tolerance) {
    return head + std::to_string(delay) + switches + ' ' + std::to_string(tolerance.earlyMs) + ' ' +
           std::to_string(tolerance.medianMarginMs) + '\n';
  };
  EXPECT_EQ(FormatModeSourceTable(),
            "source kind delay_ms slate_sync posture_code raw_mode early_ms median_margin_ms\n" +
                row("wmi 2 ", kWmiBurstWindowMs, " 1 1 1", kWmiBurstWindowTolerance) +
                row("sensor 1 ", kSensorDebounceMs, " 1 1 1", kSensorDebounceTolerance) +
                row("driver 3 ", 0, " 0 0 0", kDriverPublishTolerance));
  EXPECT_EQ(ModeSourceNames(), "wmi|sensor|driver");
  EXPECT_EQ(ModeSourceDelayMs(kSourceNone), 0u);
  EXPECT_EQ(ModeSourceSwitches(kSourceNone), (BroadcastSwitches{1, 1, 1}));
  EXPECT_EQ(ModeSourceTolerance(kSourceNone).earlyMs, 0u);
  EXPECT_EQ(ModeSourceTolerance(kSourceNone).medianMarginMs, 0u);
}

}  // namespace
}  // namespace kqd
