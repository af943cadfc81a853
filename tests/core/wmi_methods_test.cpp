#include "core/wmi_methods.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <string>

namespace kqd {
namespace {

struct MethodCase {
  std::u16string name;
  WmiMethodTarget target;
  friend void PrintTo(const MethodCase& c, std::ostream* os) {
    *os << std::string(c.name.begin(), c.name.end());  // ASCII names only
  }
};

class WmiMethodTable : public testing::TestWithParam<MethodCase> {};

TEST_P(WmiMethodTable, MapsTheNameExactly) { EXPECT_EQ(TargetOfWmiMethod(GetParam().name), GetParam().target); }

constexpr WmiMethodTarget kNothing{WmiMethodTarget::kNone, 0};
constexpr WmiMethodTarget Row(size_t row) { return {WmiMethodTarget::kTableRow, row}; }

const MethodCase kCases[] = {
    {u"GetUsageMode", {WmiMethodTarget::kUsageMode, 0}},
    {u"GetXaxisValue", Row(0)},
    {u"GetYaxisValue", Row(1)},
    {u"GetZaxisValue", Row(2)},
    {u"GetAngle4Value", Row(3)},
    {u"GetAngle5Value", Row(4)},
    {u"GetAngle6Value", Row(5)},
    {u"getusagemode", kNothing},
    {u"GETANGLE5VALUE", kNothing},
    {u"GetUsageMode ", kNothing},
    {u"GetUsage", kNothing},
    {u"GetAngle7Value", kNothing},
    {std::u16string(u"GetUsageMode\0x", 14), kNothing},
    {u"", kNothing},
};

INSTANTIATE_TEST_SUITE_P(Names, WmiMethodTable, testing::ValuesIn(kCases));

TEST(WmiMethodData, TheFourBytesAreTheFloat) {
  EXPECT_EQ(TableValueFromData(0x42160000u), 37.5f);
  EXPECT_EQ(TableValueFromData(0xC2B40000u), -90.0f);
  EXPECT_EQ(TableValueFromData(0u), 0.0f);
  // Not a numeric conversion: the integer 90 is a tiny denormal.
  EXPECT_LT(TableValueFromData(90u), 1e-30f);
  // Even a NaN keeps its payload.
  const float nan = TableValueFromData(0x7FC01234u);
  uint32_t bits;
  std::memcpy(&bits, &nan, sizeof bits);
  EXPECT_TRUE(std::isnan(nan));
  EXPECT_EQ(bits, 0x7FC01234u);
}

}  // namespace
}  // namespace kqd
