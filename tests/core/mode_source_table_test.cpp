#include "core/mode_source_table.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kqd
