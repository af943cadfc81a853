// The energy-management driver double, driven exactly as the product drives it.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "doubles/pwraux/pwraux_client.h"
#include "common/qpc_clock.h"
#include "doubles/pwraux/pwraux_contract.h"
#include "win/unique_handle.h"

namespace {

namespace pwraux = kqdtb::pwraux;
using kqd::win::UniqueFile;

constexpr DWORD kNotify = 0x831020C0;

UniqueFile OpenLikeProduct() {
  return UniqueFile{::CreateFileW(L"\\\\.\\PwrAuxDrv", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr)};
}

std::vector<std::uint8_t> Request(std::uint32_t code) {
  const std::uint32_t fields[3] = {12, 1, code};
  std::vector<std::uint8_t> bytes(sizeof(fields));
  std::memcpy(bytes.data(), fields, sizeof(fields));
  return bytes;
}

// The Win32 error of one notify request, ERROR_SUCCESS when it was accepted.
DWORD Send(HANDLE device, std::vector<std::uint8_t> input) {
  DWORD returned = 0;
  ::SetLastError(0xdeadbeef);
  if (::DeviceIoControl(device, kNotify, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                        nullptr, 0, &returned, nullptr)) {
    return ERROR_SUCCESS;
  }
  return ::GetLastError();
}

class PwrAuxDouble : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pwraux::IsPresent()) << "the pwraux fixture installs the driver";
    ASSERT_TRUE(pwraux::FailAll(false));
    ASSERT_TRUE(pwraux::Clear());
    device_ = OpenLikeProduct();
    ASSERT_TRUE(device_.valid()) << "open with access 0 failed: " << ::GetLastError();
  }
  void TearDown() override { pwraux::FailAll(false); }

  std::vector<pwraux::Entry> Entries() {
    const auto record = pwraux::ReadRecord();
    EXPECT_TRUE(record.has_value());
    return record ? record->entries : std::vector<pwraux::Entry>{};
  }

  UniqueFile device_;
};

TEST_F(PwrAuxDouble, RecordsEachRequestInOrderWithItsBytesAndArrivalTime) {
  const std::uint32_t codes[] = {10, 8, 2, 9, 1, 11, 0xA5B6C7D8};
  std::vector<std::uint64_t> sent;
  std::vector<std::uint64_t> answered;
  for (std::uint32_t code : codes) {
    sent.push_back(kqdtb::QpcNow100ns());
    ASSERT_EQ(Send(device_.get(), Request(code)), ERROR_SUCCESS) << code;
    answered.push_back(kqdtb::QpcNow100ns());
  }

  const auto entries = Entries();
  ASSERT_EQ(entries.size(), std::size(codes));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].code, codes[i]);
    EXPECT_EQ(entries[i].inputLength, 12u);
    const auto expected = Request(codes[i]);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), entries[i].bytes.begin()));
    EXPECT_TRUE(entries[i].ok());
    // The driver's clock is the caller's performance counter: each arrival lies
    // between the caller's readings around its request.
    EXPECT_GE(entries[i].time, sent[i]);
    EXPECT_LE(entries[i].time, answered[i]);
  }
}

TEST_F(PwrAuxDouble, WrongLengthIsRejectedAndRecordedAsMalformed) {
  const struct {
    std::vector<std::uint8_t> input;
    std::uint32_t length;
  } cases[] = {
      {{}, 0},
      {{12, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0}, 11},
      {std::vector<std::uint8_t>(13, 0x5a), 13},
      {std::vector<std::uint8_t>(4096, 0x11), 4096},
  };
  for (const auto& c : cases) EXPECT_EQ(Send(device_.get(), c.input), ERROR_INVALID_PARAMETER) << c.length;
  ASSERT_EQ(Send(device_.get(), Request(9)), ERROR_SUCCESS) << "the driver still serves requests";

  const auto entries = Entries();
  ASSERT_EQ(entries.size(), std::size(cases) + 1);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].length);
    EXPECT_TRUE(entries[i].malformed);
    EXPECT_FALSE(entries[i].failed);
    EXPECT_EQ(entries[i].inputLength, cases[i].length);
    EXPECT_EQ(entries[i].code, 0u);
  }
  EXPECT_EQ(entries[2].bytes[11], 0x5a) << "the first 12 bytes of a long request are kept";
  EXPECT_TRUE(entries.back().ok());
  EXPECT_EQ(entries.back().code, 9u);
}

TEST_F(PwrAuxDouble, FailNextFailsExactlyThatManyThenSucceeds) {
  ASSERT_TRUE(pwraux::FailNext(3));
  std::vector<DWORD> results;
  for (int attempt = 0; attempt < 5; ++attempt) results.push_back(Send(device_.get(), Request(10)));
  EXPECT_EQ(results, (std::vector<DWORD>{ERROR_NOT_READY, ERROR_NOT_READY, ERROR_NOT_READY, ERROR_SUCCESS,
                                         ERROR_SUCCESS}));

  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 5u) << "failed attempts are recorded too";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].failed, i < 3) << i;
    EXPECT_EQ(entries[i].code, 10u);
  }
}

TEST_F(PwrAuxDouble, MalformedRequestsDoNotConsumePlannedFailures) {
  ASSERT_TRUE(pwraux::FailNext(1));
  EXPECT_EQ(Send(device_.get(), {1, 2, 3}), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Send(device_.get(), Request(11)), ERROR_NOT_READY);
  EXPECT_EQ(Send(device_.get(), Request(11)), ERROR_SUCCESS);
}

TEST_F(PwrAuxDouble, FailAllFailsUntilSwitchedOff) {
  ASSERT_TRUE(pwraux::FailAll(true));
  for (int attempt = 0; attempt < 6; ++attempt) EXPECT_EQ(Send(device_.get(), Request(11)), ERROR_NOT_READY);
  ASSERT_TRUE(pwraux::FailAll(false));
  EXPECT_EQ(Send(device_.get(), Request(11)), ERROR_SUCCESS);

  const auto record = pwraux::ReadRecord();
  ASSERT_TRUE(record.has_value());
  ASSERT_EQ(record->entries.size(), 7u);
  EXPECT_TRUE(record->entries[5].failed);
  EXPECT_TRUE(record->entries[6].ok());
}

TEST_F(PwrAuxDouble, ClearEmptiesTheRecord) {
  ASSERT_EQ(Send(device_.get(), Request(8)), ERROR_SUCCESS);
  ASSERT_EQ(Entries().size(), 1u);
  ASSERT_TRUE(pwraux::Clear());
  EXPECT_TRUE(Entries().empty());
  ASSERT_EQ(Send(device_.get(), Request(2)), ERROR_SUCCESS);
  const auto entries = Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].code, 2u);
}

TEST_F(PwrAuxDouble, FullRecordCountsDroppedRequests) {
  for (int i = 0; i < PWRAUX_RECORD_CAPACITY + 3; ++i) ASSERT_EQ(Send(device_.get(), Request(i)), ERROR_SUCCESS);
  const auto record = pwraux::ReadRecord();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->entries.size(), static_cast<std::size_t>(PWRAUX_RECORD_CAPACITY));
  EXPECT_EQ(record->dropped, 3u);
  EXPECT_EQ(record->entries.back().code, static_cast<std::uint32_t>(PWRAUX_RECORD_CAPACITY - 1));
  ASSERT_TRUE(pwraux::Clear());
  EXPECT_EQ(pwraux::ReadRecord().value().dropped, 0u);
}

TEST_F(PwrAuxDouble, UnknownControlCodeAndShortReadBufferAreRefused) {
  DWORD returned = 0;
  EXPECT_FALSE(::DeviceIoControl(device_.get(), CTL_CODE(0x8310, 0x831, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                                 nullptr, 0, &returned, nullptr));
  PWRAUX_RECORD_HEADER header{};
  EXPECT_FALSE(::DeviceIoControl(device_.get(), IOCTL_PWRAUX_READ_RECORD, nullptr, 0, &header, sizeof(header) - 1,
                                 &returned, nullptr));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(Entries().empty()) << "only the notify code is recorded";
}

}  // namespace
