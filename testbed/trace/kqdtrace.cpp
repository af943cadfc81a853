// kqdtrace: the native analysis of posture traces and their replay records.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "trace/comparison.h"
#include "trace/expectation.h"
#include "trace/replay_record.h"
#include "trace/report.h"
#include "trace/svg.h"
#include "trace/source.h"
#include "trace/trace_file.h"

namespace {

using namespace kqdtb::trace;

constexpr int kExitOk = 0;
constexpr int kExitDifferent = 1;
constexpr int kExitUsage = 2;
constexpr int kExitAmbiguous = 3;

const std::string kUsage = "usage: kqdtrace expect TRACE --source " + kqd::ModeSourceNames() +
                           " [--start MODE]\n"
                           "       kqdtrace check TRACE RECORD\n"
                           "       kqdtrace report TRACE RECORD\n"
                           "       kqdtrace latency TRACE RECORD\n"
                           "       kqdtrace svg TRACE RECORD OUT.svg [--title TITLE]\n"
                           "       kqdtrace derive TRACE\n"
                           "       kqdtrace sources\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "kqdtrace: %s\n", message.c_str());
  return kExitUsage;
}

int Usage() {
  std::fputs(kUsage.c_str(), stderr);
  return kExitUsage;
}

std::optional<std::string> ReadFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = path + ": cannot be read";
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    *error = path + ": read failed";
    return std::nullopt;
  }
  return text.str();
}

std::optional<Trace> LoadTrace(const std::string& path, std::string* error) {
  const auto text = ReadFile(path, error);
  if (!text) return std::nullopt;
  std::string why;
  auto trace = ParseTrace(*text, &why);
  if (!trace) *error = path + ": " + why;
  return trace;
}

std::optional<Record> LoadRecord(const std::string& path, std::string* error) {
  const auto text = ReadFile(path, error);
  if (!text) return std::nullopt;
  std::string why;
  auto record = ParseRecord(*text, &why);
  if (!record) *error = path + ": " + why;
  return record;
}

std::optional<std::uint32_t> ParseMode(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Positional arguments and "--name value" options, in any order.
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;

  std::optional<std::string> Option(std::string_view name) const {
    for (const auto& [key, value] : options) {
      if (key == name) return value;
    }
    return std::nullopt;
  }
};

std::optional<Arguments> SplitArguments(int argc, char** argv, std::initializer_list<std::string_view> known) {
  Arguments arguments;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.size() > 2 && arg.substr(0, 2) == "--") {
      if (std::find(known.begin(), known.end(), arg) == known.end() || i + 1 >= argc) return std::nullopt;
      arguments.options.emplace_back(std::string(arg), argv[++i]);
    } else {
      arguments.positional.emplace_back(arg);
    }
  }
  return arguments;
}

int Expect(const Arguments& args) {
  if (args.positional.size() != 1) return Usage();
  const auto sourceName = args.Option("--source");
  if (!sourceName) return Usage();
  const auto source = kqd::ParseModeSourceName(*sourceName);
  if (!source) return Fail("unknown source \"" + *sourceName + "\"");
  kqd::UsageMode start = 0;
  if (const auto startText = args.Option("--start")) {
    const auto parsed = ParseMode(*startText);
    if (!parsed) return Fail("--start needs a mode number, not \"" + *startText + "\"");
    start = *parsed;
  }
  std::string error;
  const auto trace = LoadTrace(args.positional[0], &error);
  if (!trace) return Fail(error);
  const auto expectation = kqdtb::trace::Expect(trace->rows, *source, start, &error);
  if (!expectation) return Fail(args.positional[0] + ": " + error);
  if (!expectation->ambiguous.empty()) {
    const AmbiguousGap& gap = expectation->ambiguous.front();
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s: timing ambiguous: the gap of %.1f ms before row %zu is within %.0f ms of the %s source's "
                  "%u ms (%zu such gaps)",
                  args.positional[0].c_str(), gap.gapMs, gap.row + 1, kTimingToleranceMs,
                  std::string(kqd::ModeSourceName(*source)).c_str(),
                  static_cast<unsigned>(kqd::ModeSourceDelayMs(*source)),
                  expectation->ambiguous.size());
    return Fail(text);
  }
  std::fputs(FormatExpectation(*expectation).c_str(), stdout);
  return kExitOk;
}

std::optional<Comparison> LoadAndCompare(const Arguments& args, std::string* error) {
  const auto trace = LoadTrace(args.positional[0], error);
  if (!trace) return std::nullopt;
  const auto record = LoadRecord(args.positional[1], error);
  if (!record) return std::nullopt;
  return Compare(*trace, *record, error);
}

int Latency(const Arguments& args) {
  if (args.positional.size() != 2 || !args.options.empty()) return Usage();
  std::string error;
  const auto comparison = LoadAndCompare(args, &error);
  if (!comparison) return Fail(error);
  std::fputs(FormatLatencyJson(*comparison).c_str(), stdout);
  return kExitOk;
}

int Check(const Arguments& args, bool report) {
  if (args.positional.size() != 2 || !args.options.empty()) return Usage();
  std::string error;
  const auto comparison = LoadAndCompare(args, &error);
  if (!comparison) return Fail(error);
  std::fputs((report ? FormatReport(*comparison) : FormatCheck(*comparison)).c_str(), stdout);
  if (report) return kExitOk;
  if (comparison->Ambiguous()) return kExitAmbiguous;
  return comparison->differences.empty() && comparison->OnTime() ? kExitOk : kExitDifferent;
}

int Svg(const Arguments& args) {
  if (args.positional.size() != 3) return Usage();
  std::string error;
  const auto trace = LoadTrace(args.positional[0], &error);
  if (!trace) return Fail(error);
  const auto record = LoadRecord(args.positional[1], &error);
  if (!record) return Fail(error);
  const std::string title = args.Option("--title").value_or(
      std::filesystem::path(args.positional[0]).stem().string() + " \u2014 " + record->source);
  const std::string& out = args.positional[2];
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  if (!file) return Fail(out + ": cannot be written");
  file << RenderSvg(*record, title);
  file.close();
  if (!file) return Fail(out + ": write failed");
  return kExitOk;
}

int Derive(const Arguments& args) {
  if (args.positional.size() != 1 || !args.options.empty()) return Usage();
  std::string error;
  const auto trace = LoadTrace(args.positional[0], &error);
  if (!trace) return Fail(error);
  std::printf("# %s with its mode column from the posture rule, starting from mode 0\n",
              std::filesystem::path(args.positional[0]).filename().string().c_str());
  std::fputs(FormatTrace(DeriveModes(*trace)).c_str(), stdout);
  return kExitOk;
}

// The service's table, for scripts that time their inputs by it without Wine.
int Sources(const Arguments& args) {
  if (!args.positional.empty() || !args.options.empty()) return Usage();
  std::fputs(kqd::FormatModeSourceTable().c_str(), stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string_view command = argv[1];
  std::optional<Arguments> args;
  if (command == "expect") {
    args = SplitArguments(argc, argv, {"--source", "--start"});
    return args ? Expect(*args) : Usage();
  }
  if (command == "svg") {
    args = SplitArguments(argc, argv, {"--title"});
    return args ? Svg(*args) : Usage();
  }
  args = SplitArguments(argc, argv, {});
  if (!args) return Usage();
  if (command == "check") return Check(*args, false);
  if (command == "report") return Check(*args, true);
  if (command == "latency") return Latency(*args);
  if (command == "derive") return Derive(*args);
  if (command == "sources") return Sources(*args);
  if (command == "help" || command == "--help") {
    std::fputs(kUsage.c_str(), stdout);
    return kExitOk;
  }
  return Usage();
}
