// The watch on a stored value, in a scratch key of this process's own.

#include <gtest/gtest.h>

#include <string>

#include "trace/replay/mode_watcher.h"
#include "trace/replay/replay_clock.h"
#include "support/registry_backup.h"
#include "support/wait_until.h"

namespace {

namespace rp = kqdtb::replay;
using kqdtest::WaitUntil;

class ModeWatch : public testing::Test {
 protected:
  void SetUp() override {
    base_ = L"Software\\KqdTestbed\\ReplayTest" + std::to_wstring(::GetCurrentProcessId());
    key_ = base_ + L"\\Tavmir\\TarsiMode";
    kqdtest::DeleteKeyTree(HKEY_CURRENT_USER, base_);
  }
  void TearDown() override { kqdtest::DeleteKeyTree(HKEY_CURRENT_USER, base_); }

  void Write(DWORD value) { kqdtest::SetDword(HKEY_CURRENT_USER, key_, L"Mode", value); }

  bool WakesReach(const rp::ModeWatcher& watcher, size_t count) {
    return WaitUntil([&] { return watcher.Wakes().size() >= count; });
  }

  std::wstring base_;
  std::wstring key_;
};

TEST_F(ModeWatch, EachWriteIsSeenWithItsValueAfterItHappened) {
  Write(0);
  rp::ModeWatcher watcher(HKEY_CURRENT_USER, key_, L"Mode");
  ASSERT_TRUE(watcher.Start());
  // Distinct values: Wine's server skips a write of the value already stored, and
  // with it the notification.
  const DWORD values[] = {1, 3, 2, 4};
  std::uint64_t before[std::size(values)];
  for (size_t i = 0; i < std::size(values); ++i) {
    before[i] = rp::ReplayClock::Now();
    Write(values[i]);
    ASSERT_TRUE(WakesReach(watcher, i + 1)) << "write " << i;
  }
  watcher.Stop();
  const auto wakes = watcher.Wakes();
  ASSERT_EQ(wakes.size(), std::size(values)) << "the value found at the start is not a change";
  for (size_t i = 0; i < wakes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(wakes[i].value, values[i]);
    EXPECT_GE(wakes[i].time, before[i]);
    if (i + 1 < wakes.size()) {
      EXPECT_LT(wakes[i].time, before[i + 1]);
    }
  }
}

TEST_F(ModeWatch, AKeyCreatedLaterIsFoundAndItsFirstValueKept) {
  rp::ModeWatcher watcher(HKEY_CURRENT_USER, key_, L"Mode");
  ASSERT_TRUE(watcher.Start()) << "armed on a parent while the key is missing";
  Write(4);
  ASSERT_TRUE(WakesReach(watcher, 1));
  ASSERT_TRUE(WaitUntil([&] { return watcher.Wakes().back().value == 4u; }));
  const size_t seen = watcher.Wakes().size();
  Write(1);
  ASSERT_TRUE(WakesReach(watcher, seen + 1)) << "the key itself is watched from then on";
  EXPECT_EQ(watcher.Wakes().back().value, 1u);
}

TEST_F(ModeWatch, StopEndsTheThreadAndLaterWritesAreNotSeen) {
  Write(0);
  rp::ModeWatcher watcher(HKEY_CURRENT_USER, key_, L"Mode");
  ASSERT_TRUE(watcher.Start());
  watcher.Stop();
  Write(1);
  ::Sleep(50);
  EXPECT_TRUE(watcher.Wakes().empty());
  EXPECT_FALSE(rp::ReadDword(HKEY_CURRENT_USER, key_, L"Missing").has_value());
  EXPECT_EQ(rp::ReadDword(HKEY_CURRENT_USER, key_, L"Mode"), 1u);
}

}  // namespace
