#include "core/removal_paths.h"

#include <gtest/gtest.h>

#include <string>

namespace kqd {
namespace {

TEST(RemovalPaths, ComposeAsTheUninstallNeedsThem) {
  EXPECT_EQ(OwnerInfPath(u"C:\\windows", u"oem7.inf"), u"C:\\windows\\INF\\oem7.inf");
  EXPECT_EQ(SystemFilePath(u"C:\\windows\\system32", kEmbeddedInfName), u"C:\\windows\\system32\\kqddrv.INF");
  EXPECT_EQ(UninstallCommandLine(u"C:\\windows\\system32\\rundll32.exe", u"C:\\windows\\system32\\kqddrv.INF"),
            u"\"C:\\windows\\system32\\rundll32.exe\" setupapi,InstallHinfSection DefaultUninstall 128 "
            u"C:\\windows\\system32\\kqddrv.INF");
}

TEST(RemovalPaths, LongestThatFitsLeavesRoomForTheNul) {
  const std::u16string dir(kPathCapacity - 1 - 13, u'd');  // + "\INF\oem7.inf"
  const auto path = OwnerInfPath(dir, u"oem7.inf");
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->size(), kPathCapacity - 1);
  EXPECT_FALSE(OwnerInfPath(dir + u"d", u"oem7.inf").has_value());
  EXPECT_FALSE(OwnerInfPath(u"C:\\windows", std::u16string(400, u'n')).has_value());
}

TEST(RemovalPaths, CommandLineThatDoesNotFitIsRefused) {
  const std::u16string program = u"C:\\windows\\system32\\rundll32.exe";
  const std::u16string fixed = u"\"\" setupapi,InstallHinfSection DefaultUninstall 128 ";
  const std::u16string inf(kPathCapacity - 1 - fixed.size() - program.size(), u'i');
  EXPECT_TRUE(UninstallCommandLine(program, inf).has_value());
  EXPECT_FALSE(UninstallCommandLine(program, inf + u"i").has_value());
  EXPECT_FALSE(SystemFilePath(std::u16string(kPathCapacity, u's'), kUninstallProgramName).has_value());
}

TEST(RemovalPaths, EmbeddedNulIsRefused) {
  EXPECT_FALSE(OwnerInfPath(u"C:\\windows", std::u16string(u"oem\0.inf", 8)).has_value());
}

}  // namespace
}  // namespace kqd
