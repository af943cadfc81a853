#pragma once
// Posture traces: hinge movements as text, replayed into the running service.
//
//   # comment lines and blank lines are skipped
//   time_ms,a,b[,mode][,word]       <- header, names the optional columns
//   0,120,90
//   250.5,nan,90                     <- "nan" is a valid angle; so is -5 or 720
//
// time_ms never decreases. "mode" is what a WMI provider reports for the row
// (decimal), "word" what the power-management driver answers (0x hexadecimal);
// a row may leave either empty. Platform-free: the replayer under Wine and the
// native analysis read the same files through this one parser.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqdtb::trace {

struct Row {
  double timeMs = 0;
  float a = 0;
  float b = 0;
  std::optional<std::uint32_t> mode;
  std::optional<std::uint32_t> word;
};

struct Trace {
  std::vector<Row> rows;
  bool hasMode = false;  // the header names the column
  bool hasWord = false;
};

// Nothing, with a message naming the line, when the text is not a trace.
std::optional<Trace> ParseTrace(std::string_view text, std::string* error);

// The header and rows back as text; ParseTrace(FormatTrace(t)) gives t again.
std::string FormatTrace(const Trace& trace);

// A float as the files write it: shortest form that reads back the same, "nan" for NaN.
std::string FormatFloat(float value);

}  // namespace kqdtb::trace
