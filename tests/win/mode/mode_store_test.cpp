// The mode store against the prefix's real registry; every key touched is put back.

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

#include "mode/mode_store.h"
#include "support/debug_capture.h"
#include "support/registry_backup.h"

namespace {

using namespace kqdtest;

const std::wstring kModeKey = kqd::kModeKeyPath;
const std::wstring kVersionKey = kqd::kVersionKeyPath;
const std::string kReadFailed = "<kqd>: faild to get KQD mode value, and set it to 0 for unknow.\r\n";
const std::string kDeleteValueFailed = "<kqd>:faild to delete kqd mode value.\r\n";
const std::string kDeleteKeyFailed = "<kqd>:faild to delete kqd key path.\r\n";

class ModeStore : public testing::Test {
 protected:
  RegistryBackup backup_{HKEY_LOCAL_MACHINE, kModeKey, {L"Mode", L"EnableLog"}};
  DebugCapture debug_;

  void SetUp() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, kModeKey); }
};

TEST_F(ModeStore, MissingKey_ReadsZeroWithMessageThenFirstWriteCreatesIt) {
  EXPECT_EQ(kqd::ReadStoredMode(), 0u);
  EXPECT_TRUE(debug_.WaitFor(kReadFailed));

  kqd::WriteStoredMode(3);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kModeKey));
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kModeKey, L"Mode"), 3u);
  EXPECT_EQ(kqd::ReadStoredMode(), 3u);
  EXPECT_EQ(debug_.Count(kReadFailed), 1u) << "a successful read says nothing";
}

TEST_F(ModeStore, WriteDwordValue_RoundTripsEveryWidth) {
  for (DWORD value : {0u, 1u, 2u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    ASSERT_TRUE(kqd::WriteDwordValue(HKEY_LOCAL_MACHINE, kModeKey.c_str(), L"Mode", value));
    EXPECT_EQ(kqd::ReadStoredMode(), value);
  }
  EXPECT_TRUE(debug_.OwnLines().empty());
}

TEST_F(ModeStore, UnreadableValues_CountAsZeroOrFillTheLowBytes) {
  const std::wstring longText = L"tablet";
  SetString(HKEY_LOCAL_MACHINE, kModeKey, L"Mode", longText);
  EXPECT_EQ(kqd::ReadStoredMode(), 0u) << "a REG_SZ longer than 4 bytes cannot be read";
  EXPECT_TRUE(debug_.WaitFor(kReadFailed));

  const BYTE twoBytes[] = {0x02, 0x01};
  SetValue(HKEY_LOCAL_MACHINE, kModeKey, L"Mode", REG_BINARY, twoBytes, sizeof(twoBytes));
  EXPECT_EQ(kqd::ReadStoredMode(), 0x0102u) << "a short value fills the low bytes, the rest stay 0";

  const BYTE eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  SetValue(HKEY_LOCAL_MACHINE, kModeKey, L"Mode", REG_QWORD, eightBytes, sizeof(eightBytes));
  EXPECT_EQ(kqd::ReadStoredMode(), 0u);
  EXPECT_TRUE(debug_.WaitFor(kReadFailed, 2));
}

TEST_F(ModeStore, DeleteOnAbsentKey_ReportsBothFailures) {
  kqd::DeleteModeStore();
  EXPECT_TRUE(debug_.WaitFor(kDeleteValueFailed));
  EXPECT_TRUE(debug_.WaitFor(kDeleteKeyFailed));
  EXPECT_EQ(debug_.OwnLines(), (std::vector<std::string>{kDeleteValueFailed, kDeleteKeyFailed}));
}

TEST_F(ModeStore, DeleteRemovesEnableLogModeAndKeyButKeepsParent) {
  kqd::WriteStoredMode(2);
  SetDword(HKEY_LOCAL_MACHINE, kModeKey, L"EnableLog", 1);
  kqd::DeleteModeStore();
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kModeKey));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tavmir"));
  EXPECT_TRUE(debug_.OwnLines().empty());
}

TEST_F(ModeStore, DeleteWithoutModeValue_ReportsItAndStillRemovesTheKey) {
  SetDword(HKEY_LOCAL_MACHINE, kModeKey, L"EnableLog", 1);
  kqd::DeleteModeStore();
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kModeKey));
  EXPECT_TRUE(debug_.WaitFor(kDeleteValueFailed));
  EXPECT_EQ(debug_.Count(kDeleteKeyFailed), 0u);
}

TEST_F(ModeStore, DeleteWithSubkey_ReportsTheKeyAndLeavesItWithoutItsValues) {
  // The service never creates subkeys; a stranger's subkey keeps the key alive, so
  // what is gone from it was deleted value by value.
  kqd::WriteStoredMode(1);
  SetDword(HKEY_LOCAL_MACHINE, kModeKey, L"EnableLog", 1);
  SetDword(HKEY_LOCAL_MACHINE, kModeKey + L"\\Other", L"X", 1);
  kqd::DeleteModeStore();
  EXPECT_TRUE(debug_.WaitFor(kDeleteKeyFailed));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kModeKey));
  EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kModeKey, L"Mode"));
  EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kModeKey, L"EnableLog"));
}

struct VersionCase {
  const char* label;
  bool hasMajor;
  const wchar_t* releaseId;  // null: value absent
  bool before1903;
  friend void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.label; }
};

class OsVersion : public testing::TestWithParam<VersionCase> {
 protected:
  RegistryBackup backup_{HKEY_LOCAL_MACHINE, kVersionKey, {L"CurrentMajorVersionNumber", L"ReleaseId"}};
};

TEST_P(OsVersion, DecidesFromMajorVersionAndReleaseId) {
  const auto& c = GetParam();
  if (c.hasMajor) {
    SetDword(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentMajorVersionNumber", 10);
  } else {
    DeleteValue(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentMajorVersionNumber");
  }
  if (c.releaseId != nullptr) {
    SetString(HKEY_LOCAL_MACHINE, kVersionKey, L"ReleaseId", c.releaseId);
  } else {
    DeleteValue(HKEY_LOCAL_MACHINE, kVersionKey, L"ReleaseId");
  }
  EXPECT_EQ(kqd::IsOsBefore1903(), c.before1903) << c.label;
}

const std::wstring kOverlong(200, L'2');  // 402 bytes: more than the 255 asked for

const VersionCase kVersions[] = {
    {"1809", true, L"1809", true},
    {"1903", true, L"1903", false},
    {"2009", true, L"2009", false},
    {"leading blank", true, L" 2004", false},
    {"not a number", true, L"abc", true},
    {"digits then letters", true, L"19O3", true},
    {"empty", true, L"", true},
    {"no ReleaseId", true, nullptr, true},
    {"no major version: ReleaseId not consulted", false, L"2009", true},
    {"overlong ReleaseId cannot be read", true, kOverlong.c_str(), true},
};

INSTANTIATE_TEST_SUITE_P(Release, OsVersion, testing::ValuesIn(kVersions));

TEST(OsVersionNonString, DwordReleaseIdIsReadAsText) {
  RegistryBackup backup{HKEY_LOCAL_MACHINE, kVersionKey, {L"CurrentMajorVersionNumber", L"ReleaseId"}};
  SetDword(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentMajorVersionNumber", 10);
  SetDword(HKEY_LOCAL_MACHINE, kVersionKey, L"ReleaseId", 2009);  // bytes D9 07 00 00: not digits
  EXPECT_TRUE(kqd::IsOsBefore1903());
}

}  // namespace
