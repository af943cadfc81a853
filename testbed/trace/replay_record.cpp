#include "trace/replay_record.h"

#include <algorithm>
#include <cstdio>

#include "trace/trace_file.h"

namespace kqdtb::trace {
namespace {

constexpr std::string_view kHeader = "kind,time_ms,a,b,value";

const char* KindName(EventKind kind) {
  switch (kind) {
    case EventKind::Input: return "input";
    case EventKind::Mode: return "mode";
    case EventKind::Energy: return "energy";
    case EventKind::Slate: return "slate";
    case EventKind::SlateState: return "slatestate";
  }
  return "input";
}

std::optional<EventKind> KindFromName(std::string_view name) {
  for (const EventKind kind :
       {EventKind::Input, EventKind::Mode, EventKind::Energy, EventKind::Slate, EventKind::SlateState}) {
    if (name == KindName(kind)) return kind;
  }
  return std::nullopt;
}

std::string Line(std::string_view kind, double timeMs, std::string_view a, std::string_view b,
                 std::string_view value) {
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", timeMs);
  std::string line(kind);
  line += ',';
  line += time;
  for (const std::string_view field : {a, b, value}) {
    line += ',';
    line += field;
  }
  line += '\n';
  return line;
}

std::string ValueText(const std::optional<std::uint32_t>& value) {
  return value ? std::to_string(*value) : std::string();
}

}  // namespace

std::string FormatRecord(const Record& record) {
  std::string text(kHeader);
  text += '\n';
  text += Line("source", 0, "", "", record.source);
  text += Line("start", 0, "", "", ValueText(record.startMode));
  if (record.startSlate) text += Line("slatestart", 0, "", "", ValueText(record.startSlate));
  for (const Event& event : record.events) {
    const bool input = event.kind == EventKind::Input;
    text += Line(KindName(event.kind), event.timeMs, input ? FormatFloat(event.a) : "",
                 input ? FormatFloat(event.b) : "", ValueText(event.value));
  }
  return text;
}

std::optional<Record> ParseRecord(std::string_view text, std::string* error) {
  // The event lines share the trace's syntax with "kind" in front; the trace
  // parser checks each of them as a one-row trace.
  auto fail = [&](size_t line, const std::string& what) -> std::optional<Record> {
    if (error != nullptr) *error = "line " + std::to_string(line) + ": " + what;
    return std::nullopt;
  };
  Record record;
  bool header = false;
  size_t lineNumber = 0;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!header) {
      if (line != kHeader) return fail(lineNumber, "the header must be " + std::string(kHeader));
      header = true;
      continue;
    }
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) return fail(lineNumber, "no fields");
    const std::string_view kind = line.substr(0, comma);
    const std::string_view rest = line.substr(comma + 1);
    if (kind == "source") {
      const size_t last = rest.rfind(',');
      record.source = std::string(rest.substr(last + 1));
      continue;
    }
    // time,a,b,value -> a one-row trace with a "mode" column standing for the value;
    // empty angles (published events) read as 0.
    std::string row(rest);
    const size_t firstComma = row.find(',');
    if (firstComma != std::string::npos && row.compare(firstComma, 3, ",,,") == 0) {
      row.replace(firstComma, 3, ",0,0,");
    }
    std::string why;
    const auto parsed = ParseTrace("time_ms,a,b,mode\n" + row, &why);
    if (!parsed || parsed->rows.size() != 1) {
      return fail(lineNumber, why.empty() ? "not one event" : why.substr(why.find(':') + 2));
    }
    const Row& r = parsed->rows.front();
    if (kind == "start") {
      record.startMode = r.mode;
      continue;
    }
    if (kind == "slatestart") {
      record.startSlate = r.mode;
      continue;
    }
    const auto eventKind = KindFromName(kind);
    if (!eventKind) return fail(lineNumber, "unknown kind \"" + std::string(kind) + "\"");
    if (*eventKind != EventKind::Input && !r.mode) return fail(lineNumber, "a published event needs a value");
    record.events.push_back(Event{*eventKind, r.timeMs, r.a, r.b, r.mode});
  }
  if (!header) return fail(lineNumber, "no header");
  std::stable_sort(record.events.begin(), record.events.end(),
                   [](const Event& x, const Event& y) { return x.timeMs < y.timeMs; });
  return record;
}

}  // namespace kqdtb::trace
