// The power-management driver double and the Type2 helpers, driven the way the
// product and the testbed CLI drive them.

#include <gtest/gtest.h>

#include <cstdint>

#include "doubles/davodira/davodira_client.h"
#include "core/driver_mode.h"
#include "doubles/davodira/davodira_contract.h"
#include "support/registry_backup.h"
#include "win/unique_handle.h"

namespace {

namespace davodira = kqdtb::davodira;
using kqd::win::UniqueFile;

constexpr DWORD kQuery = 0x00222700;

UniqueFile OpenLikeProduct() {
  return UniqueFile{::CreateFileW(L"\\\\.\\DAVODIRA", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0x00020000, nullptr)};
}

// The Win32 error of one query, ERROR_SUCCESS when it was answered.
DWORD Query(HANDLE device, DWORD& answer) {
  DWORD returned = 0;
  answer = 0xdeadbeef;
  ::SetLastError(0xdeadbeef);
  if (::DeviceIoControl(device, kQuery, nullptr, 0, &answer, 4, &returned, nullptr)) {
    return returned == 4 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
  }
  return ::GetLastError();
}

class DavodiraDouble : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(davodira::IsPresent()) << "the davodira fixture installs the driver";
    ASSERT_TRUE(davodira::SetFail(false));
    ASSERT_TRUE(davodira::Clear());
    device_ = OpenLikeProduct();
    ASSERT_TRUE(device_.valid()) << "open as the product does failed: " << ::GetLastError();
  }

  UniqueFile device_;
};

TEST_F(DavodiraDouble, AnswersTheWordSetAndRecordsEachQueryWithItsTime) {
  const std::uint32_t words[] = {0x00010001, 0x00020005, 0, 0xFFFFFFFF, 0x00050003};
  LARGE_INTEGER before{}, after{};
  ::QueryPerformanceCounter(&before);
  for (std::uint32_t word : words) {
    ASSERT_TRUE(davodira::SetAnswer(word));
    DWORD answer = 0;
    ASSERT_EQ(Query(device_.get(), answer), ERROR_SUCCESS) << word;
    EXPECT_EQ(answer, word);
  }
  ::QueryPerformanceCounter(&after);

  const auto record = davodira::ReadRecord();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->answer, 0x00050003u);
  const auto& entries = record->entries;
  ASSERT_EQ(entries.size(), std::size(words));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(entries[i].ok());
    EXPECT_EQ(entries[i].answer, words[i]);
    EXPECT_EQ(entries[i].inputLength, 0u);
    EXPECT_EQ(entries[i].outputLength, 4u);
    if (i > 0) {
      EXPECT_GE(entries[i].time, entries[i - 1].time);
    }
  }
  // Arrival times share the caller's clock, so latencies can be measured against it.
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  EXPECT_EQ(record->frequency, static_cast<std::uint64_t>(frequency.QuadPart));
  EXPECT_GE(entries.front().time, static_cast<std::uint64_t>(before.QuadPart));
  EXPECT_LE(entries.back().time, static_cast<std::uint64_t>(after.QuadPart));
}

TEST(DavodiraAnswerForMode, EachModeReadsBackThroughTheProductsTable) {
  for (std::uint32_t mode = 0; mode <= 4; ++mode) {
    const auto word = davodira::AnswerForMode(mode);
    ASSERT_TRUE(word.has_value()) << mode;
    EXPECT_EQ(*word >> 16, 2u) << mode;
    EXPECT_EQ(kqd::UsageModeFromDriverAnswer(*word), mode);
  }
  EXPECT_FALSE(davodira::AnswerForMode(5).has_value());
}

TEST(DavodiraType2, FlipCreatesWhatIsMissingAndTogglesOnlyBit29) {
  kqdtest::RegistryBackup backup(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, {DAVODIRA_NOTIFICATION_VALUE});
  ASSERT_TRUE(davodira::DeleteNotificationKey());
  EXPECT_FALSE(davodira::ReadType2().has_value());
  EXPECT_TRUE(davodira::DeleteNotificationKey()) << "deleting an absent key succeeds";

  EXPECT_EQ(davodira::FlipType2(), 0x20000000u) << "key and value 0 are created, then flipped";
  EXPECT_EQ(davodira::ReadType2(), 0x20000000u);
  ASSERT_TRUE(davodira::WriteType2(0xA000F00D));
  EXPECT_EQ(davodira::FlipType2(), 0x8000F00Du);
  EXPECT_EQ(davodira::FlipType2(), 0xA000F00Du);

  ASSERT_TRUE(davodira::DeleteNotificationKey());
  EXPECT_FALSE(kqdtest::KeyExists(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY));
}

}  // namespace
