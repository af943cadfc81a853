#include "trace/trace_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kqdtb::trace {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t comma = line.find(',');
    fields.push_back(Trim(line.substr(0, comma)));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

bool IsNan(std::string_view s) {
  return s.size() == 3 && (s[0] | 0x20) == 'n' && (s[1] | 0x20) == 'a' && (s[2] | 0x20) == 'n';
}

// from_chars for floating point is not in every standard library we build with;
// strtod on a bounded copy gives the same result for this plain decimal syntax.
std::optional<double> ParseDecimal(std::string_view s) {
  if (s.empty() || s.size() > 64) return std::nullopt;
  for (const char c : s) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E')) {
      return std::nullopt;
    }
  }
  char buffer[65];
  s.copy(buffer, s.size());
  buffer[s.size()] = '\0';
  char* end = nullptr;
  const double value = std::strtod(buffer, &end);
  if (end != buffer + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<float> ParseAngle(std::string_view s) {
  if (IsNan(s)) return std::nanf("");
  const auto value = ParseDecimal(s);
  if (!value || std::fabs(*value) > 3.0e38) return std::nullopt;
  return static_cast<float>(*value);
}

std::optional<std::uint32_t> ParseUnsigned(std::string_view s, int base) {
  std::uint32_t value = 0;
  if (s.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> ParseWord(std::string_view s) {
  if (s.size() < 3 || s[0] != '0' || (s[1] | 0x20) != 'x') return std::nullopt;
  return ParseUnsigned(s.substr(2), 16);
}

}  // namespace

std::optional<Trace> ParseTrace(std::string_view text, std::string* error) {
  auto fail = [&](size_t line, const std::string& what) -> std::optional<Trace> {
    if (error != nullptr) *error = "line " + std::to_string(line) + ": " + what;
    return std::nullopt;
  };
  Trace trace;
  int modeColumn = -1;
  int wordColumn = -1;
  size_t columns = 0;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line = Trim(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const auto fields = SplitFields(line);
    if (columns == 0) {
      if (fields.size() < 3 || fields[0] != "time_ms" || fields[1] != "a" || fields[2] != "b") {
        return fail(lineNumber, "the header must start with time_ms,a,b");
      }
      for (size_t i = 3; i < fields.size(); ++i) {
        int* column = fields[i] == "mode" ? &modeColumn : fields[i] == "word" ? &wordColumn : nullptr;
        if (column == nullptr || *column != -1) {
          return fail(lineNumber, "unknown or repeated column \"" + std::string(fields[i]) + "\"");
        }
        *column = static_cast<int>(i);
      }
      columns = fields.size();
      trace.hasMode = modeColumn != -1;
      trace.hasWord = wordColumn != -1;
      continue;
    }
    if (fields.size() != columns) {
      return fail(lineNumber, "expected " + std::to_string(columns) + " fields");
    }
    Row row;
    const auto time = ParseDecimal(fields[0]);
    if (!time || *time < 0) return fail(lineNumber, "time_ms is not a time");
    if (!trace.rows.empty() && *time < trace.rows.back().timeMs) {
      return fail(lineNumber, "time_ms goes backwards");
    }
    row.timeMs = *time;
    const auto a = ParseAngle(fields[1]);
    const auto b = ParseAngle(fields[2]);
    if (!a || !b) return fail(lineNumber, "an angle is not a number");
    row.a = *a;
    row.b = *b;
    if (modeColumn != -1 && !fields[modeColumn].empty()) {
      row.mode = ParseUnsigned(fields[modeColumn], 10);
      if (!row.mode) return fail(lineNumber, "mode is not a whole number");
    }
    if (wordColumn != -1 && !fields[wordColumn].empty()) {
      row.word = ParseWord(fields[wordColumn]);
      if (!row.word) return fail(lineNumber, "word is not a 0x number of 32 bits");
    }
    trace.rows.push_back(row);
  }
  if (columns == 0) return fail(lineNumber, "no header");
  return trace;
}

std::string FormatFloat(float value) {
  if (std::isnan(value)) return "nan";
  char buffer[64];
  if (std::fabs(value) >= 1.0e7f) {
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(value));
    return buffer;
  }
  for (int decimals = 0; decimals <= 12; ++decimals) {
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, static_cast<double>(value));
    if (std::strtof(buffer, nullptr) == value) break;
  }
  return buffer;
}

std::string FormatTrace(const Trace& trace) {
  std::string text = "time_ms,a,b";
  if (trace.hasMode) text += ",mode";
  if (trace.hasWord) text += ",word";
  text += '\n';
  char number[32];
  for (const Row& row : trace.rows) {
    std::snprintf(number, sizeof number, "%.10g", row.timeMs);
    text += number;
    text += ',' + FormatFloat(row.a) + ',' + FormatFloat(row.b);
    if (trace.hasMode) text += ',' + (row.mode ? std::to_string(*row.mode) : std::string());
    if (trace.hasWord) {
      text += ',';
      if (row.word) {
        std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(*row.word));
        text += number;
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace kqdtb::trace
