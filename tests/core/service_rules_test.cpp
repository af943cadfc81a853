#include "core/service_rules.h"

#include <gtest/gtest.h>

#include <ostream>

namespace kqd {
namespace {

TEST(AcceptedControls, EveryCombinationKeepsPowerAndSession) {
  struct Case { bool stop, shutdown, pause; uint32_t mask; };
  const Case cases[] = {
      {false, false, false, 0xC0}, {true, false, false, 0xC1}, {false, true, false, 0xC4},
      {false, false, true, 0xC2},  {true, true, false, 0xC5},  {true, true, true, 0xC7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AcceptedControls(c.stop, c.shutdown, c.pause), c.mask)
        << c.stop << c.shutdown << c.pause;
  }
}

TEST(Checkpoint, OnlyPendingStatesTakeOne) {
  using namespace service_state;
  for (uint32_t s : {kStartPending, kStopPending, kContinuePending, kPausePending, kPaused}) {
    EXPECT_TRUE(TakesCheckpoint(s)) << s;
  }
  EXPECT_FALSE(TakesCheckpoint(kRunning));
  EXPECT_FALSE(TakesCheckpoint(kStopped));
}

struct ControlCase {
  const char* label;
  uint32_t control;
  uint32_t eventType;
  bool consoleDisplay;
  int firstByte;  // -1: no payload, -2: a payload of no bytes
  ControlAction expected;
  friend void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.label; }
};

class ControlTable : public testing::TestWithParam<ControlCase> {};

TEST_P(ControlTable, Classifies) {
  const auto& c = GetParam();
  const uint8_t byte = c.firstByte < 0 ? 0 : static_cast<uint8_t>(c.firstByte);
  EXPECT_EQ(ClassifyControl(c.control, c.eventType, c.consoleDisplay, c.firstByte == -1 ? nullptr : &byte,
                            c.firstByte < 0 ? 0 : 1),
            c.expected)
      << c.label;
}

constexpr uint32_t kChange = 0x8013;  // PBT_POWERSETTINGCHANGE
const ControlCase kControls[] = {
    {"stop", 1, 0, false, -1, ControlAction::Stop},
    {"pause", 2, 0, false, -1, ControlAction::Pause},
    {"continue", 3, 0, false, -1, ControlAction::Continue},
    {"interrogate", 4, 0, false, -1, ControlAction::None},
    {"shutdown", 5, 0, false, -1, ControlAction::Shutdown},
    {"session change", 14, 0, false, -1, ControlAction::None},
    {"unknown code", 0x80, 0, false, -1, ControlAction::None},
    {"display off", 13, kChange, true, 0, ControlAction::DisplayOff},
    {"display on", 13, kChange, true, 1, ControlAction::DisplayOn},
    {"display dimmed", 13, kChange, true, 2, ControlAction::None},
    {"display byte 0xFF", 13, kChange, true, 0xFF, ControlAction::None},
    {"other setting off", 13, kChange, false, 0, ControlAction::None},
    {"other power event type", 13, 0x000A, true, 0, ControlAction::None},
    {"display without payload", 13, kChange, true, -1, ControlAction::None},
    {"display with an empty payload", 13, kChange, true, -2, ControlAction::None},
    {"display payload on a stop code", 1, kChange, true, 0, ControlAction::Stop},
};

INSTANTIATE_TEST_SUITE_P(Handler, ControlTable, testing::ValuesIn(kControls));

}  // namespace
}  // namespace kqd
