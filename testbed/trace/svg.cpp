#include "trace/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "core/posture_rule.h"
#include "trace/comparison.h"
#include "trace/expectation.h"
#include "trace/printf.h"

namespace kqdtb::trace {
namespace {

constexpr double kWidth = 1000;
constexpr double kHeight = 540;
constexpr double kLeft = 70;
constexpr double kRight = kWidth - 90;
constexpr double kTop = 60;
constexpr double kBottom = kHeight - 120;
constexpr double kAngleMin = 0;
constexpr double kAngleMax = 360;
constexpr std::uint32_t kModeMax = kqd::kModeFoldedHigh;

constexpr const char* kColourA = "#1f62b4";
constexpr const char* kColourB = "#2e8b3e";
constexpr const char* kColourThreshold = "#c0392b";
constexpr const char* kColourMode = "#222222";
constexpr const char* kColourEnergy = "#d98200";
constexpr const char* kColourSlate = "#7b3fa0";

struct Scale {
  double endMs = 1;
  double X(double ms) const { return kLeft + (kRight - kLeft) * std::clamp(ms / endMs, 0.0, 1.0); }
  static double YAngle(double degrees) {
    return kBottom - (kBottom - kTop) * (std::clamp(degrees, kAngleMin, kAngleMax) - kAngleMin) /
                         (kAngleMax - kAngleMin);
  }
  // Modes keep clear of the plot's edges so their dots stay visible.
  static double YMode(std::uint32_t mode) {
    return kBottom - (kBottom - kTop) * (0.08 + 0.84 * std::min(mode, kModeMax) / kModeMax);
  }
};

// 1, 2 or 5 times a power of ten, giving about `count` steps over `range`.
double NiceStep(double range, int count) {
  const double raw = range / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 5.0}) {
    if (raw <= factor * power) return factor * power;
  }
  return 10 * power;
}

std::string Text(double x, double y, std::string_view text, const char* extra = "") {
  return Printf("<text x=\"%.1f\" y=\"%.1f\" %s>", x, y, extra) + XmlEscape(text) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const char* style) {
  return Printf("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" %s/>\n", x1, y1, x2, y2, style);
}

// One angle as steps (the service keeps the last reported value), broken where it
// is NaN; values off the scale are drawn at its edge with a marker.
std::string AngleLine(const std::vector<const Event*>& inputs, bool useA, double endMs, const Scale& scale,
                      const char* colour, const char* cssClass) {
  std::string out;
  std::string points;
  auto flush = [&] {
    if (!points.empty()) {
      out += Printf("<polyline class=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.8\" points=\"", cssClass,
                    colour) +
             points +
             "\"/>\n";
    }
    points.clear();
  };
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const double value = useA ? inputs[i]->a : inputs[i]->b;
    const double from = inputs[i]->timeMs;
    const double to = i + 1 < inputs.size() ? inputs[i + 1]->timeMs : endMs;
    if (std::isnan(value)) {
      flush();
      continue;
    }
    const double y = Scale::YAngle(value);
    points += Printf("%.1f,%.1f %.1f,%.1f ", scale.X(from), y, scale.X(to), y);
    if (value < kAngleMin || value > kAngleMax) {
      const double tip = value < kAngleMin ? 6 : -6;  // points off the plot
      out += Printf("<path class=\"clipped\" d=\"M%.1f,%.1f l-4,%.1f l8,0 z\" fill=\"%s\"/>\n", scale.X(from),
                    y + tip, -tip, colour);
    }
  }
  flush();
  return out;
}

std::string Thresholds() {
  struct Threshold {
    float degrees;
    const char* label;
    bool labelRight;  // the A and B thresholds lie close together
  };
  const Threshold thresholds[] = {
      {kqd::kPostureLaptopBelow, "A laptop", false},
      {kqd::kPostureTabletAbove, "A tablet", false},
      {kqd::kPostureFoldSplit, "B fold split", true},
  };
  std::string out;
  for (const Threshold& t : thresholds) {
    const double high = Scale::YAngle(t.degrees + kqd::kPostureMargin);
    const double low = Scale::YAngle(t.degrees - kqd::kPostureMargin);
    out += Printf("<rect class=\"margin\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\" "
                  "fill-opacity=\"0.15\"/>\n",
                  kLeft, high, kRight - kLeft, low - high, kColourThreshold);
    const double y = Scale::YAngle(t.degrees);
    out += Line(kLeft, y, kRight, y,
                Printf("stroke=\"%s\" stroke-dasharray=\"6 4\" stroke-width=\"1\"", kColourThreshold).c_str());
    out += Text(t.labelRight ? kRight - 4 : kLeft + 4, t.labelRight ? y + 13 : y - 4,
                Printf("%s %g", t.label, static_cast<double>(t.degrees)),
                Printf("font-size=\"10\" fill=\"%s\"%s", kColourThreshold,
                       t.labelRight ? " text-anchor=\"end\"" : "")
                    .c_str());
  }
  const double wrap = Scale::YAngle(kqd::kPostureWrapBelow);
  out += Line(kLeft, wrap, kRight, wrap, "stroke=\"#888\" stroke-dasharray=\"2 3\" stroke-width=\"1\"");
  out += Text(kLeft + 4, wrap - 4,
              Printf("A below %g reads as %g", static_cast<double>(kqd::kPostureWrapBelow),
                     static_cast<double>(kqd::kPostureWrapTo)),
              "font-size=\"10\" fill=\"#888\"");
  return out;
}

std::string Axes(const Scale& scale) {
  std::string out = Printf("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
                           "stroke=\"#444\"/>\n",
                           kLeft, kTop, kRight - kLeft, kBottom - kTop);
  const double step = NiceStep(scale.endMs, 10);
  // Counted, so that no time however large can keep the loop from ending.
  for (int i = 0; i <= 20 && i * step - scale.endMs <= step * 1e-6; ++i) {
    const double ms = i * step;
    const double x = scale.X(ms);
    out += Line(x, kBottom, x, kBottom + 4, "stroke=\"#444\"");
    out += Text(x, kBottom + 28, Printf("%g", ms), "font-size=\"11\" text-anchor=\"middle\"");
  }
  out += Text((kLeft + kRight) / 2, kBottom + 46, "time (ms)", "font-size=\"12\" text-anchor=\"middle\"");
  for (int degrees = 0; degrees <= 360; degrees += 90) {
    const double y = Scale::YAngle(degrees);
    out += Line(kLeft - 4, y, kLeft, y, "stroke=\"#444\"");
    out += Text(kLeft - 8, y + 4, std::to_string(degrees), "font-size=\"11\" text-anchor=\"end\"");
  }
  out += Text(18, (kTop + kBottom) / 2, "hinge angle (degrees)",
              Printf("font-size=\"12\" text-anchor=\"middle\" transform=\"rotate(-90 18 %.1f)\"",
                     (kTop + kBottom) / 2)
                  .c_str());
  for (std::uint32_t mode = 0; mode <= kModeMax; ++mode) {
    const double y = Scale::YMode(mode);
    out += Line(kRight, y, kRight + 4, y, "stroke=\"#444\"");
    out += Text(kRight + 8, y + 4, mode == 0 ? std::string("none") : ModeName(mode), "font-size=\"11\"");
  }
  out += Text(kWidth - 12, (kTop + kBottom) / 2, "published mode",
              Printf("font-size=\"12\" text-anchor=\"middle\" transform=\"rotate(90 %.1f %.1f)\"", kWidth - 12,
                     (kTop + kBottom) / 2)
                  .c_str());
  return out;
}

std::string ModeLine(const Record& record, double endMs, const Scale& scale) {
  std::uint32_t mode = record.startMode.value_or(0);
  std::string points = Printf("%.1f,%.1f ", scale.X(0), Scale::YMode(mode));
  std::string dots;
  for (const Event& event : record.events) {
    if (event.kind != EventKind::Mode) continue;
    const double x = scale.X(event.timeMs);
    const double before = Scale::YMode(mode);
    mode = event.value.value_or(0);
    const double y = Scale::YMode(mode);
    points += Printf("%.1f,%.1f %.1f,%.1f ", x, before, x, y);
    dots += Printf("<circle class=\"publication\" cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/>\n", x, y,
                   kColourMode);
    dots += Text(x + 5, y - 7, Printf("%.0f ms", event.timeMs), "font-size=\"10\"");
  }
  points += Printf("%.1f,%.1f", scale.X(endMs), Scale::YMode(mode));
  return Printf("<polyline class=\"mode\" fill=\"none\" stroke=\"%s\" stroke-width=\"2.2\" points=\"",
                kColourMode) +
         points + "\"/>\n" + dots;
}

std::string Legend() {
  struct Item {
    const char* label;
    std::string symbol;  // drawn with its origin at the item's left middle
  };
  const Item items[] = {
      {"A", Printf("<line x1=\"0\" y1=\"0\" x2=\"22\" y2=\"0\" stroke=\"%s\" stroke-width=\"2\"/>", kColourA)},
      {"B", Printf("<line x1=\"0\" y1=\"0\" x2=\"22\" y2=\"0\" stroke=\"%s\" stroke-width=\"2\"/>", kColourB)},
      {"threshold", Printf("<line x1=\"0\" y1=\"0\" x2=\"22\" y2=\"0\" stroke=\"%s\" stroke-dasharray=\"6 4\"/>",
                           kColourThreshold)},
      {"hold margin", Printf("<rect x=\"0\" y=\"-5\" width=\"22\" height=\"10\" fill=\"%s\" fill-opacity=\"0.15\"/>",
                             kColourThreshold)},
      {"published mode", Printf("<line x1=\"0\" y1=\"0\" x2=\"22\" y2=\"0\" stroke=\"%s\" stroke-width=\"2\"/>"
                                "<circle cx=\"11\" cy=\"0\" r=\"4\" fill=\"%s\"/>",
                                kColourMode, kColourMode)},
      {"input", "<line x1=\"11\" y1=\"-6\" x2=\"11\" y2=\"6\" stroke=\"#666\"/>"},
      {"energy request", Printf("<line x1=\"11\" y1=\"-6\" x2=\"11\" y2=\"6\" stroke=\"%s\"/>", kColourEnergy)},
      {"off scale", "<path d=\"M11,-5 l-4,8 l8,0 z\" fill=\"#666\"/>"},
      {"slate state change", Printf("<line x1=\"11\" y1=\"-6\" x2=\"11\" y2=\"6\" stroke=\"%s\"/>", kColourSlate)},
  };
  std::string out;
  double x = kLeft;
  const double y = kHeight - 28;
  for (const Item& item : items) {
    out += Printf("<g transform=\"translate(%.1f %.1f)\">", x, y) + item.symbol + "</g>\n";
    out += Text(x + 27, y + 4, item.label, "font-size=\"11\"");
    x += 40 + 6.5 * std::string_view(item.label).size();
  }
  return out;
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        // Control characters other than tab and newlines are not allowed in XML 1.0.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
          out += '?';
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string RenderSvg(const Record& record, std::string_view title) {
  std::vector<const Event*> inputs;
  double lastMs = 0;
  for (const Event& event : record.events) {
    if (event.kind == EventKind::Input) inputs.push_back(&event);
    lastMs = std::max(lastMs, event.timeMs);
  }
  // A little room after the last event, so its label stays inside.
  const double endMs = std::min(std::max(lastMs * 1.05, lastMs + 100), std::numeric_limits<double>::max());
  const Scale scale{endMs};

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += Printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n",
                kWidth, kHeight, kWidth, kHeight);
  out += "<title>" + XmlEscape(title) + "</title>\n";
  out += Printf("<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", kWidth, kHeight);
  out += Text(kWidth / 2, 30, title, "font-size=\"16\" text-anchor=\"middle\" font-weight=\"bold\"");
  out += Thresholds();
  out += Axes(scale);
  out += AngleLine(inputs, true, endMs, scale, kColourA, "angle a");
  out += AngleLine(inputs, false, endMs, scale, kColourB, "angle b");
  for (const Event& event : record.events) {
    const double x = scale.X(event.timeMs);
    if (event.kind == EventKind::Input) {
      out += Line(x, kBottom + 6, x, kBottom + 14, "class=\"input\" stroke=\"#666\"");
    } else if (event.kind == EventKind::Energy) {
      out += Line(x, kTop - 10, x, kTop - 2,
                  Printf("class=\"energy\" stroke=\"%s\"", kColourEnergy).c_str());
    } else if (event.kind == EventKind::SlateState) {
      // Above the energy requests; the state it became shows on hovering.
      out += Printf("<line class=\"slatestate\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                    "stroke-width=\"2\"><title>",
                    x, kTop - 22, x, kTop - 14, kColourSlate) +
             Printf("%s at %.1f ms", SlateModeName(SlateModeFromValue(event.value.value_or(0))), event.timeMs) +
             "</title></line>\n";
    }
  }
  out += ModeLine(record, endMs, scale);
  out += Legend();
  out += "</svg>\n";
  return out;
}

}  // namespace kqdtb::trace
