#include "core/command_line.h"

#include <gtest/gtest.h>

#include <ostream>

#include <string>
#include <vector>

namespace kqd {
namespace {

struct CommandLineCase {
  const char* label;
  std::vector<std::u16string> args;  // after the program path
  CommandAction expected;
  friend void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.label; }
};

CommandAction Parse(const std::vector<std::u16string>& args) {
  std::vector<const char16_t*> argv{u"C:\\windows\\system32\\kqd.exe"};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
}

class CommandLineTable : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTable, FirstArgumentDecides) {
  EXPECT_EQ(Parse(GetParam().args), GetParam().expected) << GetParam().label;
}

const CommandLineCase kCases[] = {
    {"no argument", {}, CommandAction::RunService},
    {"plain word", {u"foo"}, CommandAction::RunService},
    {"PnPTask without switch char", {u"PnPTask"}, CommandAction::RunService},
    {"empty argument", {u""}, CommandAction::RunService},
    {"dash PnPTask", {u"-PnPTask"}, CommandAction::PnPTask},
    {"slash lower", {u"/pnptask"}, CommandAction::PnPTask},
    {"dash upper", {u"-PNPTASK"}, CommandAction::PnPTask},
    {"double dash", {u"--PnPTask"}, CommandAction::Ignore},
    {"lone dash", {u"-"}, CommandAction::Ignore},
    {"lone slash", {u"/"}, CommandAction::Ignore},
    {"unknown switch", {u"-foo"}, CommandAction::Ignore},
    {"install upper", {u"-INSTALL"}, CommandAction::Install},
    {"install slash", {u"/install"}, CommandAction::Install},
    {"uninstall mixed", {u"-Uninstall"}, CommandAction::Uninstall},
    {"PnPTask with extras", {u"-PnPTask", u"-install", u"x"}, CommandAction::PnPTask},
    {"extras never decide", {u"foo", u"-PnPTask"}, CommandAction::RunService},
    {"prefix only", {u"-PnPTas"}, CommandAction::Ignore},
    {"longer name", {u"-PnPTasks"}, CommandAction::Ignore},
    {"trailing space", {u"-PnPTask "}, CommandAction::Ignore},
    // Only ASCII folds: a dotless i or a Kelvin sign is not an 'i' or a 'k'.
    {"dotless capital I", {u"-\u0130nstall"}, CommandAction::Ignore},
    {"Kelvin sign", {u"-PnPTas\u212A"}, CommandAction::Ignore},
    {"fullwidth letters", {u"-\uFF30nPTask"}, CommandAction::Ignore},
    {"embedded NUL ends the argument", {std::u16string(u"-PnPTask\0x", 10)}, CommandAction::PnPTask},
};

INSTANTIATE_TEST_SUITE_P(Grammar, CommandLineTable, testing::ValuesIn(kCases));

TEST(CommandLine, MissingOrNullArgumentsRunTheService) {
  EXPECT_EQ(ParseCommandLine(0, nullptr), CommandAction::RunService);
  const char16_t* const onlyNull[] = {u"kqd.exe", nullptr};
  EXPECT_EQ(ParseCommandLine(2, onlyNull), CommandAction::RunService);
  // The count decides, not what lies past it.
  const char16_t* const pastTheCount[] = {u"kqd.exe", u"-install", nullptr};
  EXPECT_EQ(ParseCommandLine(1, pastTheCount), CommandAction::RunService);
}

TEST(CommandLine, AsciiFoldingIsWholeString) {
  EXPECT_TRUE(EqualsAsciiNoCase(u"PnPTask", u"pNptASK"));
  EXPECT_TRUE(EqualsAsciiNoCase(u"AZ", u"az"));  // both ends of the range
  // Views end at their size, not at a terminator.
  EXPECT_TRUE(EqualsAsciiNoCase(std::u16string_view(u"abX", 2), std::u16string_view(u"abY", 2)));
  EXPECT_FALSE(EqualsAsciiNoCase(u"PnPTask", u"PnPTas"));
  EXPECT_FALSE(EqualsAsciiNoCase(u"[", u"{"));  // 0x5B vs 0x7B: not letters, no fold
  EXPECT_FALSE(EqualsAsciiNoCase(u"\u00C9", u"\u00E9"));
}

}  // namespace
}  // namespace kqd
