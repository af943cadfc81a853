#include "trace/svg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace kqdtb::trace {
namespace {

// Every element closed in order; declarations and comments skipped. Returns the
// first problem, empty when the document nests well.
std::string NestingProblem(const std::string& svg) {
  std::vector<std::string> open;
  std::size_t at = 0;
  while ((at = svg.find('<', at)) != std::string::npos) {
    const std::size_t end = svg.find('>', at);
    if (end == std::string::npos) return "unterminated tag";
    const std::string tag = svg.substr(at + 1, end - at - 1);
    at = end + 1;
    if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
    if (tag.back() == '/') continue;
    const std::string name = tag.substr(tag[0] == '/' ? 1 : 0, tag.find_first_of(" \t\n") - (tag[0] == '/' ? 1 : 0));
    if (tag[0] != '/') {
      open.push_back(name);
    } else if (open.empty() || open.back() != name) {
      return "</" + name + "> closes " + (open.empty() ? "nothing" : open.back());
    } else {
      open.pop_back();
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> left open";
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

Record Replay(std::vector<std::pair<float, float>> angles) {
  Record record;
  record.source = "sensor";
  record.startMode = 1;
  double t = 0;
  for (const auto& [a, b] : angles) {
    record.events.push_back({EventKind::Input, t, a, b, std::nullopt});
    t += 500;
  }
  record.events.push_back({EventKind::Energy, 710, 0, 0, 8u});
  record.events.push_back({EventKind::Mode, 712, 0, 0, 3u});
  record.events.push_back({EventKind::SlateState, 740, 0, 0, 0u});
  return record;
}

TEST(Svg, IsAWellFormedStandaloneDocumentWithAnEscapedTitle) {
  const std::string svg = RenderSvg(Replay({{100, 90}, {250, 90}, {100, 90}}), "a<b & \"c\" \x01");
  EXPECT_EQ(NestingProblem(svg), "");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(svg.find("a&lt;b &amp; &quot;c&quot; ?"), std::string::npos);
  EXPECT_EQ(svg.find("a<b"), std::string::npos);
  EXPECT_EQ(Count(svg, "class=\"publication\""), 1u);
  EXPECT_EQ(Count(svg, "class=\"input\""), 3u);
  EXPECT_EQ(Count(svg, "class=\"margin\""), 3u);
  EXPECT_NE(svg.find("712 ms"), std::string::npos);
  EXPECT_EQ(Count(svg, "class=\"slatestate\""), 1u);
  EXPECT_NE(svg.find("<title>slate at 740.0 ms</title>"), std::string::npos);
  EXPECT_NE(svg.find("laptop"), std::string::npos);
  EXPECT_NE(svg.find("fold 4"), std::string::npos);
}

TEST(Svg, NanBreaksTheLineAndOffScaleValuesStayInsideWithAMarker) {
  const std::string svg = RenderSvg(Replay({{100, 90}, {NAN, 90}, {120, 1e30f}, {-40, 90}}), "t");
  EXPECT_EQ(NestingProblem(svg), "");
  EXPECT_EQ(Count(svg, "class=\"angle a\""), 2u);  // broken by the NaN
  EXPECT_EQ(Count(svg, "class=\"angle b\""), 1u);
  EXPECT_EQ(Count(svg, "class=\"clipped\""), 2u);
  EXPECT_EQ(svg.find("nan"), std::string::npos);
  EXPECT_EQ(svg.find("inf"), std::string::npos);
  // Every polyline point lies inside the picture.
  for (std::size_t at = svg.find("points=\""); at != std::string::npos; at = svg.find("points=\"", at + 1)) {
    const char* p = svg.c_str() + at + 8;
    while (*p != '"') {
      char* end = nullptr;
      const double value = std::strtod(p, &end);
      ASSERT_NE(end, p) << "not a number at " << std::string(p, 20);
      EXPECT_GE(value, 0);
      EXPECT_LE(value, 1000);
      p = end;
      while (*p == ',' || *p == ' ') ++p;
    }
  }
}

TEST(Svg, EmptyAndFarOffRecordsStillDrawAValidDocument) {
  Record record;
  record.source = "wmi";
  EXPECT_EQ(NestingProblem(RenderSvg(record, "")), "");
  record.events.push_back({EventKind::Mode, std::numeric_limits<double>::max(), 0, 0, 2u});
  EXPECT_EQ(NestingProblem(RenderSvg(record, "")), "");
}

}  // namespace
}  // namespace kqdtb::trace
