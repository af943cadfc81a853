#include "core/watch_events.h"

#include <gtest/gtest.h>

#include "core/mode_name.h"

namespace kqd {
namespace {

using Lines = std::vector<std::string>;
using M = StoredModeState;
using S = ServiceObservation;

const M kNoKey{M::Kind::NoKey};
const M kNoValue{M::Kind::NoValue};
M Value(UsageMode v) { return {M::Kind::Value, v}; }
M Text(uint32_t size) { return {M::Kind::NotDword, 0, 1, size}; }

TEST(WatchEvents, ModeChangesNameEachEventInOrder) {
  struct Case {
    std::optional<M> before;
    M now;
    Lines lines;
  };
  const Case cases[] = {
      {std::nullopt, kNoKey, {"key TarsiMode absent"}},
      {std::nullopt, kNoValue, {"Mode absent"}},
      {std::nullopt, Value(1), {"Mode = 1 (laptop)"}},
      {std::nullopt, Text(14), {"Mode = type 1, 14 bytes (not a 4-byte REG_DWORD)"}},
      // What a field left out reads as.
      {std::nullopt, M{M::Kind::Value}, {"Mode = 0 (unknown)"}},
      {std::nullopt, M{M::Kind::NotDword}, {"Mode = type 0, 0 bytes (not a 4-byte REG_DWORD)"}},
      {Value(1), Value(1), {}},
      {kNoKey, kNoKey, {}},
      {Text(14), Text(14), {}},
      {Value(0), Value(3), {"Mode = 3 (fold 3), was 0 (unknown)"}},
      {Value(3), Value(4), {"Mode = 4 (fold 4), was 3 (fold 3)"}},
      {Value(4), Value(2), {"Mode = 2 (tablet), was 4 (fold 4)"}},
      {Value(2), Value(5), {"Mode = 5 (5), was 2 (tablet)"}},
      {Value(0xFFFFFFFF), Value(1), {"Mode = 1 (laptop), was 4294967295 (4294967295)"}},
      {kNoKey, kNoValue, {"key TarsiMode created"}},
      {kNoKey, Value(0), {"key TarsiMode created", "Mode = 0 (unknown), created"}},
      {kNoValue, Value(2), {"Mode = 2 (tablet), created"}},
      {Value(3), kNoValue, {"Mode deleted, was 3 (fold 3)"}},
      {Value(3), kNoKey, {"Mode deleted, was 3 (fold 3)", "key TarsiMode deleted"}},
      {kNoValue, kNoKey, {"key TarsiMode deleted"}},
      {Value(1), Text(8), {"Mode = type 1, 8 bytes (not a 4-byte REG_DWORD), was 1 (laptop)"}},
      {Text(8), Text(14), {"Mode = type 1, 14 bytes (not a 4-byte REG_DWORD), was type 1, 8 bytes"}},
      {Text(8), Value(1), {"Mode = 1 (laptop), was type 1, 8 bytes"}},
      {Text(8), kNoKey, {"Mode deleted, was type 1, 8 bytes", "key TarsiMode deleted"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DescribeModeChange(c.before, c.now), c.lines)
        << (c.lines.empty() ? std::string("(no change)") : c.lines.front());
  }
}

TEST(WatchEvents, ServiceStatesAndTheirChanges) {
  const S absent{S::Kind::Absent};
  const S deleting{S::Kind::DeletePending};
  auto present = [](uint32_t state, uint32_t pid = 0) { return S{S::Kind::Present, state, pid}; };
  struct Case {
    std::optional<S> before;
    S now;
    Lines lines;
  };
  const Case cases[] = {
      {std::nullopt, absent, {"KQD absent"}},
      {std::nullopt, present(1), {"KQD stopped"}},
      {std::nullopt, present(4, 236), {"KQD running (pid 236)"}},
      {absent, present(1), {"KQD created, stopped"}},
      {present(1), present(2, 40), {"KQD start pending (pid 40)"}},
      {present(2, 40), present(4, 40), {"KQD running (pid 40)"}},
      {present(4, 40), present(3, 40), {"KQD stop pending (pid 40)"}},
      {present(3, 40), present(1), {"KQD stopped"}},
      {present(4, 40), present(5, 40), {"KQD continue pending (pid 40)"}},
      {present(4, 40), present(6, 40), {"KQD pause pending (pid 40)"}},
      {present(6, 40), present(7, 40), {"KQD paused (pid 40)"}},
      {present(1), present(9), {"KQD state 9"}},
      {present(4, 40), present(4, 41), {"KQD running (pid 41)"}},
      {present(4, 40), present(4, 40), {}},
      {present(1), deleting, {"KQD marked for deletion"}},
      {deleting, absent, {"KQD deleted"}},
      {present(1), absent, {"KQD deleted"}},
      {absent, absent, {}},
      {std::nullopt, S{S::Kind::Present}, {"KQD state 0"}},  // state and pid left out
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DescribeServiceChange(c.before, c.now), c.lines)
        << (c.lines.empty() ? std::string("(no change)") : c.lines.front());
  }
}

TEST(WatchEvents, SlateStateItsAnnouncementAndTheToggleDevice) {
  struct Case {
    std::optional<int32_t> before;
    int32_t now;
    Lines lines;
  };
  const Case cases[] = {
      {std::nullopt, 0, {"SM_CONVERTIBLESLATEMODE = 0 (slate)"}},
      {std::nullopt, 1, {"SM_CONVERTIBLESLATEMODE = 1 (laptop)"}},
      {std::nullopt, -1, {"SM_CONVERTIBLESLATEMODE = -1 (laptop)"}},
      {1, 0, {"SM_CONVERTIBLESLATEMODE = 0 (slate), was 1 (laptop)"}},
      {0, 1, {"SM_CONVERTIBLESLATEMODE = 1 (laptop), was 0 (slate)"}},
      {1, 2, {"SM_CONVERTIBLESLATEMODE = 2 (laptop), was 1 (laptop)"}},
      // An announcement whose change was undone before the watch read it.
      {0, 0, {}},
      {1, 1, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DescribeSlateChange(c.before, c.now), c.lines)
        << (c.before ? std::to_string(*c.before) : std::string("first")) << " -> " << c.now;
  }

  const std::pair<const char16_t*, bool> areas[] = {
      {u"ConvertibleSlateMode", true}, {u"SystemDockMode", false},     {u"ConvertibleSlateModeX", false},
      {u"ConvertibleSlate", false},    {u"convertibleslatemode", false}, {u"", false},
      {nullptr, false},
  };
  for (const auto& [area, names] : areas) EXPECT_EQ(NamesSlateSetting(area), names) << (area ? "area" : "null");

  const std::string first = R"(\\?\root#kqdslate#0000#{317fc439-3f77-41c8-b09e-08ad63272aa3})";
  const std::string second = R"(\\?\root#kqdslate#0001#{317fc439-3f77-41c8-b09e-08ad63272aa3})";
  const std::pair<SlateInterfaceList, std::string> lists[] = {
      {{true, 0, {first}}, "toggle device " + first},
      {{true, 0, {second, first}}, "toggle device " + second + ", the first of 2"},
      {{true, 0, {}}, "no toggle device present"},
      {{false, 0x13, {}}, "toggle devices not listed (CONFIGRET 0x13)"},
      {{false, 0x1A, {}}, "toggle devices not listed (CONFIGRET 0x1A)"},
      {{}, "toggle devices not listed (CONFIGRET 0x00)"},
  };
  for (const auto& [list, text] : lists) EXPECT_EQ(DescribeSlateInterfaces(list), text);
}

TEST(WatchEvents, ModeNamesAreSharedWithEveryReport) {
  const std::pair<UsageMode, const char*> names[] = {
      {0, "unknown"}, {1, "laptop"}, {2, "tablet"}, {3, "fold 3"}, {4, "fold 4"}, {5, "5"}, {100, "100"},
  };
  for (const auto& [mode, name] : names) EXPECT_EQ(ModeName(mode), name) << mode;
}

TEST(WatchEvents, DebugLinesLineLayoutAndCommandLine) {
  const std::pair<const char*, std::optional<std::string>> debug[] = {
      {"<kqd>: faild to set KQD mode value.\r\n", "<kqd>: faild to set KQD mode value."},
      {"<kqd>:faild to delete kqd key path.\r\n", "<kqd>:faild to delete kqd key path."},
      {"<kqd>: no line end", "<kqd>: no line end"},
      {"<kqd>:\n\r\n", "<kqd>:"},
      {"<kqd> no colon\r\n", std::nullopt},
      {" <kqd>: indented\r\n", std::nullopt},
      {"<KQD>: other case\r\n", std::nullopt},
      {"err:seh: something\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : debug) EXPECT_EQ(KqdDebugText(text), expected) << text;

  EXPECT_EQ(FormatEventLine({9, 5, 3, 7}, "mode", "Mode = 3 (fold 3), was 1 (laptop)"),
            "09:05:03.007  mode     Mode = 3 (fold 3), was 1 (laptop)");
  EXPECT_EQ(FormatEventLine({23, 59, 59, 999}, "service", "KQD stopped"), "23:59:59.999  service  KQD stopped");
  EXPECT_EQ(FormatEventLine({}, "slate", "no toggle device present"),
            "00:00:00.000  slate    no toggle device present");
  // Out of range, each field keeps its width.
  EXPECT_EQ(FormatEventLine({100, 100, 100, 1000}, "debug", "x"), "00:00:00.000  debug    x");

  struct Args {
    std::vector<const char16_t*> argv;
    WatchCommand command;
  };
  const Args args[] = {
      {{u"kqdwatch"}, WatchCommand::Watch},   {{u"kqdwatch", u"-h"}, WatchCommand::Help},
      {{u"kqdwatch", u"--help"}, WatchCommand::Help}, {{u"kqdwatch", u"/?"}, WatchCommand::Help},
      {{u"kqdwatch", u"-x"}, WatchCommand::Bad},  {{u"kqdwatch", u""}, WatchCommand::Bad},
      {{u"kqdwatch", u"-h", u"more"}, WatchCommand::Bad}, {{u"kqdwatch", u"--HELP"}, WatchCommand::Bad},
  };
  for (const auto& a : args) {
    EXPECT_EQ(ParseWatchCommandLine(static_cast<int>(a.argv.size()), a.argv.data()), a.command)
        << a.argv.size() << " arguments";
  }
  EXPECT_EQ(ParseWatchCommandLine(2, nullptr), WatchCommand::Watch);
}

}  // namespace
}  // namespace kqd
