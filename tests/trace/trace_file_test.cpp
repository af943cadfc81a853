#include "trace/trace_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "trace/replay_record.h"

namespace kqdtb::trace {
namespace {

struct BadText {
  const char* label;
  const char* text;
  const char* message;  // part of the error, which names the line
};

TEST(TraceFile, RefusesMalformedTextNamingTheLine) {
  const BadText cases[] = {
      {"no header", "# only a comment\n\n", "no header"},
      {"header without b", "time_ms,a\n0,1\n", "line 1: the header must start"},
      {"unknown column", "time_ms,a,b,angle\n", "line 1: unknown or repeated column \"angle\""},
      {"repeated column", "time_ms,a,b,mode,mode\n", "repeated column"},
      {"missing field", "time_ms,a,b\n0,1,2\n5,1\n", "line 3: expected 3 fields"},
      {"extra field", "time_ms,a,b\n0,1,2,3\n", "line 2: expected 3 fields"},
      {"time backwards", "time_ms,a,b\n10,1,2\n9.5,1,2\n", "line 3: time_ms goes backwards"},
      {"negative time", "time_ms,a,b\n-1,1,2\n", "time_ms is not a time"},
      {"angle not a number", "time_ms,a,b\n0,abc,2\n", "an angle is not a number"},
      {"infinite angle", "time_ms,a,b\n0,inf,2\n", "an angle is not a number"},
      {"angle beyond float", "time_ms,a,b\n0,1e39,2\n", "an angle is not a number"},
      {"mode not whole", "time_ms,a,b,mode\n0,1,2,1.5\n", "mode is not a whole number"},
      {"word without 0x", "time_ms,a,b,word\n0,1,2,20003\n", "word is not a 0x number"},
      {"word over 32 bits", "time_ms,a,b,word\n0,1,2,0x100000000\n", "word is not a 0x number"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseTrace(c.text, &error)) << c.label;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.label << ": " << error;
  }
}

TEST(TraceFile, ReadsNanCrlfCommentsAndEmptyOptionalCells) {
  std::string error;
  const auto trace = ParseTrace(
      "# header comment\r\ntime_ms, a, b, mode, word\r\n\r\n0,NaN,-5,,\r\n# between rows\r\n250.5,720,1e30,2,"
      "0x00020003\r\n250.5,1,2,,\r\n",
      &error);
  ASSERT_TRUE(trace) << error;
  ASSERT_EQ(trace->rows.size(), 3u);
  EXPECT_TRUE(trace->hasMode && trace->hasWord);
  EXPECT_TRUE(std::isnan(trace->rows[0].a));
  EXPECT_EQ(trace->rows[0].b, -5.0f);
  EXPECT_FALSE(trace->rows[0].mode || trace->rows[0].word);
  EXPECT_EQ(trace->rows[1].timeMs, 250.5);
  EXPECT_EQ(trace->rows[1].b, 1e30f);
  EXPECT_EQ(trace->rows[1].mode, 2u);
  EXPECT_EQ(trace->rows[1].word, 0x00020003u);

  // Written back and read again, it is the same trace, NaN included.
  const auto again = ParseTrace(FormatTrace(*trace), &error);
  ASSERT_TRUE(again) << error;
  ASSERT_EQ(again->rows.size(), 3u);
  EXPECT_TRUE(std::isnan(again->rows[0].a));
  EXPECT_EQ(again->rows[1].b, 1e30f);
  EXPECT_EQ(again->rows[1].word, 0x00020003u);
}

TEST(ReplayRecord, RefusesMalformedRecords) {
  const BadText cases[] = {
      {"no header", "", "no header"},
      {"trace header", "time_ms,a,b\n", "line 1: the header must be"},
      {"unknown kind", "kind,time_ms,a,b,value\nflip,1,,,2\n", "line 2: unknown kind \"flip\""},
      {"published without value", "kind,time_ms,a,b,value\nmode,1,,,\n", "needs a value"},
      {"bad time", "kind,time_ms,a,b,value\ninput,x,1,2,\n", "line 2: time_ms is not a time"},
      {"no fields", "kind,time_ms,a,b,value\ninput\n", "line 2: no fields"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseRecord(c.text, &error)) << c.label;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.label << ": " << error;
  }
}

TEST(ReplayRecord, SortsEventsByTimeAndRoundTrips) {
  std::string error;
  const auto record = ParseRecord(
      "kind,time_ms,a,b,value\r\nsource,0,,,wmi\r\nstart,0,,,\r\nslatestart,0,,,1\r\nmode,210.5,,,2\r\n"
      "slatestate,240,,,0\r\ninput,0.25,nan,90,2\r\nslate,208.5,,,0\r\nenergy,209,,,8\r\n",
      &error);
  ASSERT_TRUE(record) << error;
  EXPECT_EQ(record->source, "wmi");
  EXPECT_FALSE(record->startMode);
  EXPECT_EQ(record->startSlate, 1u);
  ASSERT_EQ(record->events.size(), 5u);
  EXPECT_EQ(record->events[0].kind, EventKind::Input);
  EXPECT_TRUE(std::isnan(record->events[0].a));
  EXPECT_EQ(record->events[1].kind, EventKind::Slate);
  EXPECT_EQ(record->events[2].kind, EventKind::Energy);
  EXPECT_EQ(record->events[3].value, 2u);
  EXPECT_EQ(record->events[4].kind, EventKind::SlateState);

  const auto again = ParseRecord(FormatRecord(*record), &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->source, "wmi");
  EXPECT_EQ(again->startSlate, 1u);
  ASSERT_EQ(again->events.size(), 5u);
  EXPECT_EQ(again->events[3].timeMs, 210.5);
  EXPECT_EQ(again->events[2].value, 8u);
  EXPECT_EQ(again->events[4].kind, EventKind::SlateState);
  EXPECT_EQ(again->events[4].value, 0u);

  // An old record has no starting slate state, and writing it back adds none.
  Record old = *record;
  old.startSlate.reset();
  EXPECT_EQ(FormatRecord(old).find("slatestart"), std::string::npos);
}

}  // namespace
}  // namespace kqdtb::trace
