// What a trace asks of each source, and the record made from what a replay saw.

#include <gtest/gtest.h>

#include <cmath>

#include "doubles/davodira/davodira_client.h"
#include "trace/replay/replay_plan.h"

namespace {

namespace rp = kqdtb::replay;
namespace tr = kqdtb::trace;

tr::Trace Parse(const char* text) {
  std::string error;
  const auto trace = tr::ParseTrace(text, &error);
  EXPECT_TRUE(trace.has_value()) << error;
  return trace.value_or(tr::Trace{});
}

TEST(ReplayPlan, RefusesWhatTheSourceCannotTake) {
  const struct {
    const char* text;
    kqdtb::Source source;
    const char* reason;  // part of the message
  } cases[] = {
      {"time_ms,a,b\n0,1,2\n", kqd::kSourceWmi, "\"mode\" column"},
      {"time_ms,a,b,word\n0,1,2,0x00020001\n", kqd::kSourceWmi, "\"mode\" column"},
      {"time_ms,a,b\n0,1,2\n", kqd::kSourceDriver, "\"word\" or a \"mode\""},
      {"time_ms,a,b,mode\n", kqd::kSourceSensorApi, "no rows"},
      {"time_ms,a,b\n0,1,2\n600001,1,2\n", kqd::kSourceSensorApi, "longer than 600 s"},
      {"time_ms,a,b,mode\n0,1,2,1\n5,1,2,7\n", kqd::kSourceDriver, "row 2: mode 7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    EXPECT_FALSE(rp::PlanInputs(Parse(c.text), c.source, &error).has_value());
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(ReplayPlan, EachSourceGetsItsSettingAndTheRecordTheRowsValue) {
  const tr::Trace trace = Parse(
      "time_ms,a,b,mode,word\n"
      "0,120,90,1,\n"
      "10,nan,90,,0x00020004\n"
      "20,300,100,,\n"
      "30,300,100,3,0x00020003\n");
  const auto mode = [](std::uint32_t m) { return std::optional<std::uint32_t>(m); };
  const std::optional<std::uint32_t> none;
  const struct {
    kqdtb::Source source;
    std::optional<std::uint32_t> setting[4];
    std::optional<std::uint32_t> value[4];
  } cases[] = {
      {kqd::kSourceSensorApi, {none, none, none, none}, {mode(1), mode(0x00020004), none, mode(3)}},
      {kqd::kSourceWmi, {mode(1), none, none, mode(3)}, {mode(1), none, none, mode(3)}},
      // A row with a mode only takes the word the double answers for it; a row
      // with neither leaves the answer alone.
      {kqd::kSourceDriver,
       {kqdtb::davodira::AnswerForMode(1), mode(0x00020004), none, mode(0x00020003)},
       {mode(1), mode(0x00020004), none, mode(0x00020003)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kqd::ModeSourceName(c.source));
    const auto inputs = rp::PlanInputs(trace, c.source, nullptr);
    ASSERT_TRUE(inputs.has_value());
    ASSERT_EQ(inputs->size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ((*inputs)[i].timeMs, trace.rows[i].timeMs) << i;
      EXPECT_EQ((*inputs)[i].setting, c.setting[i]) << i;
      EXPECT_EQ((*inputs)[i].value, c.value[i]) << i;
    }
    EXPECT_TRUE(std::isnan((*inputs)[1].a)) << "NaN passes as it is";
  }
}

TEST(ReplayRecord, AssembledOnTheReplayClockInTimeOrder) {
  constexpr std::uint64_t t0 = 5'000'000'000;  // 500 s into the counter
  const auto at = [](double ms) { return t0 + static_cast<std::uint64_t>(ms * 10000); };
  rp::Observations seen;
  seen.source = kqd::kSourceWmi;
  seen.startMode = 0;
  seen.t0 = t0;
  seen.inputs = {{0, 1, 2, 1, 1}, {250, std::nanf(""), 4, std::nullopt, std::nullopt}};
  seen.inputTimes = {at(0.25), at(250.5)};
  seen.modes = {{at(10.5), 1}, {at(260), 1}};
  seen.energy = {{t0 - 30000, 10}, {at(11), 9}, {at(11.5), 1}};  // the first came 3 ms before the replay
  seen.slate = {{at(12), 0}};

  const tr::Record record = rp::Assemble(seen);
  EXPECT_EQ(record.source, "wmi");
  EXPECT_EQ(record.startMode, 0u);
  const struct {
    tr::EventKind kind;
    double ms;
    std::optional<std::uint32_t> value;
  } expected[] = {
      {tr::EventKind::Input, 0.25, 1},  {tr::EventKind::Mode, 10.5, 1},  {tr::EventKind::Energy, 11, 9},
      {tr::EventKind::Energy, 11.5, 1}, {tr::EventKind::Slate, 12, 0},   {tr::EventKind::Input, 250.5, std::nullopt},
      {tr::EventKind::Mode, 260, 1},
  };
  ASSERT_EQ(record.events.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(record.events[i].kind, expected[i].kind);
    EXPECT_NEAR(record.events[i].timeMs, expected[i].ms, 1e-6);
    EXPECT_EQ(record.events[i].value, expected[i].value);
  }
  EXPECT_TRUE(std::isnan(record.events[5].a));

  // What the analysis reads back is what was assembled.
  std::string error;
  const auto parsed = tr::ParseRecord(tr::FormatRecord(record), &error);
  ASSERT_TRUE(parsed.has_value()) << error;
  EXPECT_EQ(parsed->events.size(), record.events.size());
}

}  // namespace
