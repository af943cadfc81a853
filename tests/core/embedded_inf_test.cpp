// The INF that kqd.exe carries and writes byte for byte: its encoding and the lines
// the uninstall and the package's service entry depend on.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string ReadInf() {
  std::ifstream in(KQD_SOURCE_DIR "/src/setup/kqddrv.inf", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Lines of a section, without its header, comments included; section names match
// without regard to case, as INF rules have it.
std::vector<std::string> Section(const std::string& inf, const std::string& name) {
  std::vector<std::string> lines;
  bool inside = false;
  size_t start = 0;
  while (start < inf.size()) {
    const size_t end = inf.find("\r\n", start);
    const std::string line = inf.substr(start, end - start);
    start = end == std::string::npos ? inf.size() : end + 2;
    if (!line.empty() && line.front() == '[') {
      inside = Lower(line) == "[" + Lower(name) + "]";
      continue;
    }
    if (inside && !line.empty()) lines.push_back(line);
  }
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(EmbeddedInf, EightBitTextWithCrLfAndNoBom) {
  const std::string inf = ReadInf();
  ASSERT_GT(inf.size(), 500u);
  EXPECT_NE(inf.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_NE(static_cast<unsigned char>(inf[0]), 0xFF);
  EXPECT_EQ(inf.find('\0'), std::string::npos);
  for (size_t i = 0; i < inf.size(); ++i) {
    if (inf[i] == '\n') {
      ASSERT_TRUE(i > 0 && inf[i - 1] == '\r') << "bare LF at byte " << i;
    }
    if (inf[i] == '\r') {
      ASSERT_TRUE(i + 1 < inf.size() && inf[i + 1] == '\n') << "bare CR at byte " << i;
    }
  }
  EXPECT_EQ(inf.substr(inf.size() - 2), "\r\n");
}

// [Version] holds these entries and no other: a PnpLockdown directive, for one,
// would keep the removal from deleting the kqddrv.INF that CopyFiles put in the
// system directory, and so from ever starting the uninstall. The package's
// version is the product's.
TEST(EmbeddedInf, VersionNamesTheSystemClassAndDate) {
  const auto version = Section(ReadInf(), "Version");
  std::vector<std::string> keys;
  for (const auto& line : version) {
    if (line.front() == ';') continue;
    std::string key = Lower(line.substr(0, line.find('=')));
    key.erase(key.find_last_not_of(" \t") + 1);
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"catalogfile", "class", "classguid", "driverver", "provider", "signature"}));
  EXPECT_TRUE(Has(version, "Signature   = \"$WINDOWS NT$\""));
  EXPECT_TRUE(Has(version, "Class       = System"));
  EXPECT_TRUE(Has(version, "ClassGuid   = {4d36e97d-e325-11ce-bfc1-08002be10318}"));
  EXPECT_TRUE(Has(version, "DriverVer   = 10/16/2017," KQD_VERSION ".0"));
  EXPECT_TRUE(Has(Section(ReadInf(), "ControlFlags"), "ExcludeFromSelect = *"));
}

TEST(EmbeddedInf, ServiceAndUninstallLinesAsTheRemovalNeedsThem) {
  const std::string inf = ReadInf();
  EXPECT_EQ(Section(inf, "DestinationDirs"),
            (std::vector<std::string>{"DefaultDestDir = 12", "CoInstaller_CopyFiles = 11", "Uninstall_File=11"}));
  EXPECT_TRUE(Has(Section(inf, "KqdDevice_Install.NT.Services"), "AddService = KQD,0x00000800,KQD_AddService"));
  EXPECT_EQ(Section(inf, "KQD_AddService"),
            (std::vector<std::string>{"DisplayName    = %KQD.SvcDesc%", "ServiceType    = 0x10",
                                      "StartType      = 2", "ErrorControl   = %SERVICE_ERROR_NORMAL%",
                                      "ServiceBinary  = %11%\\kqd.exe"}));
  const auto files = Section(inf, "Uninstall_File");
  ASSERT_EQ(files.size(), 8u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(files[i].front(), ';') << files[i];
  EXPECT_EQ(files[6], "KqdDrv.inf,,,0x00000001");
  EXPECT_EQ(files[7], "kqd.exe,,,0x00000001");
  EXPECT_EQ(Section(inf, "DefaultUninstall"), (std::vector<std::string>{"DelFiles=Uninstall_File"}));
  EXPECT_EQ(Section(inf, "DefaultUninstall.Services"), (std::vector<std::string>{"DelService = KQD,0x00000204"}));
  const auto strings = Section(inf, "Strings");
  EXPECT_TRUE(Has(strings, "KQD.SvcDesc           = \"kqd\""));
  EXPECT_TRUE(Has(strings, "SERVICE_ERROR_NORMAL  = 1"));
}

}  // namespace
