#include "core/broadcast_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kqd {
namespace {

constexpr BroadcastSwitches kAll{1, 1, 1};
constexpr BroadcastSwitches kNone{0, 0, 0};
constexpr int32_t kSlateMetric = 0;  // what GetSystemMetrics reports in slate mode
constexpr int32_t kLaptopMetric = 1;

std::vector<uint32_t> Requests(const AnnouncementPlan& plan) { return {plan.requests.begin(), plan.requests.end()}; }

struct PlanCase {
  const char* label;
  UsageMode mode;
  BroadcastSwitches switches;
  int32_t metric;
  bool deviceOpen;
  bool write;
  std::vector<uint32_t> requests;
};

TEST(PlanAnnouncement, FollowsTheModeTable) {
  const PlanCase cases[] = {
      {"laptop mode while the system says slate", 1, kAll, kSlateMetric, true, true, {9, 1}},
      {"laptop mode while the system says laptop", 1, kAll, kLaptopMetric, true, false, {9, 1}},
      {"any non-zero metric is laptop", 1, kAll, -1, true, false, {9, 1}},
      {"folded posture while the system says laptop", 3, kAll, kLaptopMetric, true, true, {8, 3}},
      {"folded posture while the system says slate", 3, kAll, kSlateMetric, true, false, {8, 3}},
      {"unknown counts as laptop", 0, kAll, kSlateMetric, true, true, {9, 0}},
      {"unknown with laptop metric", 0, kAll, kLaptopMetric, true, false, {9, 0}},
      {"tablet: posture code then raw mode", 2, kAll, kLaptopMetric, true, true, {8, 2}},
      {"other posture", 4, kAll, kSlateMetric, true, false, {8, 4}},
      {"large provider value is slate", 7, kAll, kLaptopMetric, true, true, {8, 7}},
      {"largest value is slate", 0xFFFFFFFFu, kAll, kSlateMetric, true, false, {8, 0xFFFFFFFFu}},
      {"driver source: nothing but the registry", 1, kNone, kSlateMetric, true, false, {}},
      {"driver source, slate posture", 2, kNone, kLaptopMetric, true, false, {}},
      {"no slate device: no write", 1, kAll, kSlateMetric, false, false, {9, 1}},
      {"slate sync off", 1, {0, 1, 1}, kSlateMetric, true, false, {9, 1}},
      {"posture code only", 2, {1, 1, 0}, kSlateMetric, true, false, {8}},
      {"raw mode only", 2, {1, 0, 1}, kLaptopMetric, true, true, {2}},
      {"raw mode only, laptop", 1, {0, 0, 1}, kSlateMetric, true, false, {1}},
  };
  for (const auto& c : cases) {
    const AnnouncementPlan plan = PlanAnnouncement(c.mode, c.switches, c.metric, c.deviceOpen);
    EXPECT_EQ(plan.writeSlateByte, c.write) << c.label;
    EXPECT_EQ(Requests(plan), c.requests) << c.label;
    EXPECT_EQ(plan.requests.empty(), c.requests.empty()) << c.label;
  }
}

// A fixed array underneath: a request past the second is dropped, not written past it.
TEST(PwrAuxSequence, HoldsTwoRequests) {
  PwrAuxSequence sequence;
  for (uint32_t value : {9u, 1u, 7u}) sequence.push_back(value);
  EXPECT_EQ(std::vector<uint32_t>(sequence.begin(), sequence.end()), (std::vector<uint32_t>{9, 1}));
}

TEST(PostureCode, SplitsAtTwo) {
  struct Case { UsageMode mode; uint32_t code; };
  const Case cases[] = {{0, 9}, {1, 9}, {2, 8}, {3, 8}, {4, 8}, {5, 8}, {0x7FFFFFFFu, 8}, {0xFFFFFFFFu, 8}};
  for (const auto& c : cases) EXPECT_EQ(PostureCode(c.mode), c.code) << c.mode;
}

TEST(EncodePwrAuxRequest, SizeOneThenCodeLittleEndian) {
  struct Case { uint32_t value; PwrAuxRequestBytes bytes; };
  const Case cases[] = {
      {kPwrAuxAttach, {12, 0, 0, 0, 1, 0, 0, 0, 10, 0, 0, 0}},
      {kPwrAuxDetach, {12, 0, 0, 0, 1, 0, 0, 0, 11, 0, 0, 0}},
      {kPwrAuxPostureSlate, {12, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0}},
      {kPwrAuxPostureLaptop, {12, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0}},
      {2, {12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
      {0x12345678u, {12, 0, 0, 0, 1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}},
      {0xFFFFFFFFu, {12, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodePwrAuxRequest(c.value), c.bytes) << c.value;
}

}  // namespace
}  // namespace kqd
