#include "core/owner_list.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace kqd {
namespace {

using Names = std::vector<std::u16string>;

// Registry bytes of a text: UTF-16LE, no terminator unless the text carries one.
std::vector<uint8_t> Bytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

std::u16string Multi(std::initializer_list<std::u16string> names) {
  std::u16string text;
  for (const auto& n : names) text += n + u'\0';
  return text + u'\0';
}

struct OwnerCase {
  const char* name;
  std::u16string owners;
  std::optional<std::u16string> displayName;  // empty: the read failed
  Names expected;
  friend void PrintTo(const OwnerCase& c, std::ostream* os) { *os << c.name; }
};

class OwnerTestList : public testing::TestWithParam<OwnerCase> {};

TEST_P(OwnerTestList, Selects) {
  const auto owners = Bytes(GetParam().owners);
  std::optional<std::vector<uint8_t>> display;
  if (GetParam().displayName) display = Bytes(*GetParam().displayName);
  const auto list = display ? SelectOwnerTestList(owners, std::span<const uint8_t>(*display))
                            : SelectOwnerTestList(owners, std::nullopt);
  EXPECT_EQ(list, GetParam().expected);
}

const std::u16string kIndirect = u"@oem7.inf,%KQD.SvcDesc%;kqd";

const OwnerCase kCases[] = {
    {"EmptyListMeansRemoved", Multi({}), kIndirect, {}},
    {"EmptyValueMeansRemoved", u"", kIndirect, {}},
    {"PlainDisplayNameTestsEveryOwner", Multi({u"oem7.inf", u"oem9.inf"}), u"kqd", {u"oem7.inf", u"oem9.inf"}},
    {"UnreadableDisplayNameTestsEveryOwner", Multi({u"oem7.inf", u"oem9.inf"}), std::nullopt,
     {u"oem7.inf", u"oem9.inf"}},
    {"IndirectNameOfFirstOwnerDecidesAlone", Multi({u"oem7.inf", u"oem9.inf"}), kIndirect, {u"oem7.inf"}},
    {"IndirectNameOfLaterOwnerTestsEveryOwner", Multi({u"oem9.inf", u"oem7.inf"}), kIndirect,
     {u"oem9.inf", u"oem7.inf"}},
    {"ComparisonIsCaseSensitive", Multi({u"OEM7.INF", u"oem9.inf"}), kIndirect, {u"OEM7.INF", u"oem9.inf"}},
    {"FourCharactersAreTooShort", Multi({u"a.in", u"oem9.inf"}), u"@a.in,x", {u"a.in", u"oem9.inf"}},
    {"FiveCharactersAreEnough", Multi({u"a.inf", u"oem9.inf"}), u"@a.inf,x", {u"a.inf"}},
    {"PrefixOfFirstOwnerIsNotEqual", Multi({u"oem7.inf", u"oem9.inf"}), u"@oem7.in,x", {u"oem7.inf", u"oem9.inf"}},
    {"LeadingCommasAreSkipped", Multi({u"oem7.inf", u"oem9.inf"}), u"@,,oem7.inf,x", {u"oem7.inf"}},
    {"NoPieceAfterAt", Multi({u"oem7.inf", u"oem9.inf"}), u"@,,,", {u"oem7.inf", u"oem9.inf"}},
    {"AtAloneHasNoPiece", Multi({u"oem7.inf", u"oem9.inf"}), u"@", {u"oem7.inf", u"oem9.inf"}},
    {"WholeTextAfterAtIsOnePiece", Multi({u"oem7.inf", u"oem9.inf"}), u"@oem7.inf", {u"oem7.inf"}},
    {"AtMustComeFirst", Multi({u"oem7.inf", u"oem9.inf"}), u" @oem7.inf,x", {u"oem7.inf", u"oem9.inf"}},
    {"WithoutTheAtNothingIsCut", Multi({u"oem7.inf", u"oem9.inf"}), u"#oem7.inf", {u"oem7.inf", u"oem9.inf"}},
    {"UnitsAreLittleEndian", Multi({u"\u0444\u0430\u0439\u043B.inf", u"oem9.inf"}), u"@\u0444\u0430\u0439\u043B.inf",
     {u"\u0444\u0430\u0439\u043B.inf"}},
    {"DisplayNameEndsAtItsNul", Multi({u"oem7.inf", u"oem9.inf"}), std::u16string(u"@oem7\0.inf,x", 12),
     {u"oem7.inf", u"oem9.inf"}},
    {"ListStopsAtFirstEmptyName", std::u16string(u"oem7.inf\0\0oem9.inf\0\0", 20), u"kqd", {u"oem7.inf"}},
    {"UnterminatedOwnersEndWithTheirBytes", u"oem7.inf", u"kqd", {u"oem7.inf"}},
    {"SingleTerminatorIsEnough", std::u16string(u"oem7.inf\0oem9.inf", 17), u"kqd", {u"oem7.inf", u"oem9.inf"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, OwnerTestList, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OwnerList, OddByteCountKeepsTheLastLowByte) {
  auto bytes = Bytes(u"oem7.inf");
  bytes.push_back('x');
  EXPECT_EQ(ParseOwners(bytes), (Names{u"oem7.infx"}));
}

TEST(OwnerList, DisplayNameCountsOnly259Units) {
  // Unterminated and longer than the buffer: the name is cut, never read past.
  const std::u16string first = u"@" + std::u16string(300, u'a');
  const auto name = IndirectInfName(Bytes(first));
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->size(), kPathCapacity - 2);
  // So a first owner of exactly those 258 characters is the one decided on ...
  const std::u16string owner(kPathCapacity - 2, u'a');
  EXPECT_EQ(SelectOwnerTestList(Bytes(Multi({owner, u"oem9.inf"})), std::span<const uint8_t>(Bytes(first))),
            (Names{owner}));
  // ... and a longer one is not equal to the cut name.
  const std::u16string longer(kPathCapacity, u'a');
  EXPECT_EQ(SelectOwnerTestList(Bytes(Multi({longer, u"oem9.inf"})), std::span<const uint8_t>(Bytes(first))),
            (Names{longer, u"oem9.inf"}));
}

TEST(OwnerList, NamesLongerThanAPathSurviveWhole) {
  const std::u16string longName(400, u'n');
  EXPECT_EQ(ParseOwners(Bytes(Multi({u"oem1.inf", longName}))), (Names{u"oem1.inf", longName}));
}

}  // namespace
}  // namespace kqd
