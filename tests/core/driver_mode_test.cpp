#include "core/driver_mode.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kqd {
namespace {

TEST(UsageModeFromDriverAnswer, FollowsTheCodeTableForEachFormat) {
  struct Case {
    uint32_t answer;
    UsageMode mode;
  };
  const Case cases[] = {
      // format 1: no code 5
      {0x00010001, 1}, {0x00010003, 2}, {0x00010004, 3}, {0x00010005, 0},
      {0x00010000, 0}, {0x00010002, 0}, {0x00010006, 0}, {0x0001FFFF, 0},
      // formats 2 to 4 share one table
      {0x00020001, 1}, {0x00020003, 2}, {0x00020004, 3}, {0x00020005, 4},
      {0x00030001, 1}, {0x00030003, 2}, {0x00030004, 3}, {0x00030005, 4},
      {0x00040001, 1}, {0x00040003, 2}, {0x00040004, 3}, {0x00040005, 4},
      {0x00020000, 0}, {0x00020002, 0}, {0x00030002, 0}, {0x00040002, 0},
      {0x00020006, 0}, {0x00040007, 0}, {0x00030100, 0}, {0x0002FFFF, 0},
      // unknown formats, whatever the code
      {0x00000001, 0}, {0x00000005, 0}, {0x00050001, 0}, {0x00050005, 0},
      {0x00060003, 0}, {0x01000001, 0}, {0x80010001, 0}, {0xFFFF0004, 0},
      {0x00000000, 0}, {0xFFFFFFFF, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UsageModeFromDriverAnswer(c.answer), c.mode) << std::hex << "0x" << c.answer;
  }
}

TEST(Type2QueryBitFlipped, OnlyBit29Counts) {
  struct Case {
    const char* label;
    uint32_t remembered;
    uint32_t current;
    bool flipped;
  };
  const Case cases[] = {
      {"0 to 1", 0x00000000, 0x20000000, true},
      {"1 to 0", 0x20000000, 0x00000000, true},
      {"flip among other bits", 0xDFFFFFFF, 0xFFFFFFFF, true},
      {"flip with other bits changing too", 0x00000001, 0x2000FF00, true},
      {"same value", 0x12345678, 0x12345678, false},
      {"other bits only", 0x00000000, 0xDFFFFFFF, false},
      {"neighbouring bits 28 and 30", 0x20000000, 0x70000000, false},
      {"bit 29 stays set", 0x20000001, 0x20000002, false},
      {"top bit only", 0x00000000, 0x80000000, false},
  };
  for (const auto& c : cases) EXPECT_EQ(Type2QueryBitFlipped(c.remembered, c.current), c.flipped) << c.label;
}

}  // namespace
}  // namespace kqd
