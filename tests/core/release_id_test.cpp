#include "core/release_id.h"

#include <gtest/gtest.h>

#include <ostream>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kqd {
namespace {

struct ReleaseCase {
  std::u16string text;
  int32_t value;
  bool before1903;
  friend void PrintTo(const ReleaseCase& c, std::ostream* os) { *os << "value " << c.value; }
};

class ReleaseIdTable : public testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseIdTable, ParsesLikeWcstol) {
  // Read from a buffer of exactly the text's length, as an unterminated registry
  // value may come: a read past its end is the sanitizer's to report.
  const std::vector<char16_t> exact(GetParam().text.begin(), GetParam().text.end());
  const std::u16string_view text(exact.data(), exact.size());
  EXPECT_EQ(ParseReleaseId(text), GetParam().value);
  EXPECT_EQ(IsReleaseBefore1903(text), GetParam().before1903);
}

const ReleaseCase kCases[] = {
    {u"1809", 1809, true},
    {u"1903", 1903, false},
    {u"2009", 2009, false},
    {u"1902", 1902, true},
    {u" 1903", 1903, false},
    {u"\t\r\n\v\f 1903", 1903, false},
    {u"+1903", 1903, false},
    {u"-5", -5, true},
    {u"19O3", 19, true},
    {u"abc", 0, true},
    {u"", 0, true},
    {u"+", 0, true},
    {u"- 1903", 0, true},
    {u"++1903", 0, true},
    {u"2004H2", 2004, false},
    {u"0001903", 1903, false},
    {u"\u00A01903", 0, true},   // no-break space is not C white space
    {u"\uFF11\uFF19\uFF10\uFF13", 0, true},  // full-width digits are not digits
    {std::u16string(u"19\0" u"03", 5), 19, true},
    {u"99999999999999999999", std::numeric_limits<int32_t>::max(), false},
    {u"-99999999999999999999", std::numeric_limits<int32_t>::min(), true},
    {u"2147483647", std::numeric_limits<int32_t>::max(), false},
    {u"2147483648", std::numeric_limits<int32_t>::max(), false},
    {u"-2147483648", std::numeric_limits<int32_t>::min(), true},
};

INSTANTIATE_TEST_SUITE_P(Wcstol, ReleaseIdTable, testing::ValuesIn(kCases));

}  // namespace
}  // namespace kqd
