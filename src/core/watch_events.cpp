#include "core/watch_events.h"

#include <cstdio>

#include "core/mode_name.h"
#include "core/service_rules.h"

namespace kqd {
namespace {

using Mode = StoredModeState::Kind;

bool HasValue(const StoredModeState& s) { return s.kind == Mode::Value || s.kind == Mode::NotDword; }

std::string TypeAndSize(const StoredModeState& s) {
  return "type " + std::to_string(s.type) + ", " + std::to_string(s.size) + " bytes";
}

std::string ValueText(const StoredModeState& s) {
  if (s.kind == Mode::Value) return "Mode = " + std::to_string(s.value) + " (" + ModeName(s.value) + ")";
  return "Mode = " + TypeAndSize(s) + " (not a 4-byte REG_DWORD)";
}

std::string WasText(const StoredModeState& s) {
  if (s.kind == Mode::Value) return "was " + std::to_string(s.value) + " (" + ModeName(s.value) + ")";
  return "was " + TypeAndSize(s);
}

std::string StateText(const ServiceObservation& s) {
  std::string text = ServiceStateName(s.state);
  if (s.pid != 0) text += " (pid " + std::to_string(s.pid) + ")";
  return text;
}

std::string ServiceText(const ServiceObservation& s) {
  switch (s.kind) {
    case ServiceObservation::Kind::Absent: return "KQD absent";
    case ServiceObservation::Kind::DeletePending: return "KQD marked for deletion";
    case ServiceObservation::Kind::Present: break;
  }
  return "KQD " + StateText(s);
}

}  // namespace

std::vector<std::string> DescribeModeChange(const std::optional<StoredModeState>& before,
                                            const StoredModeState& now) {
  if (!before) {
    if (now.kind == Mode::NoKey) return {"key TarsiMode absent"};
    if (now.kind == Mode::NoValue) return {"Mode absent"};
    return {ValueText(now)};
  }
  if (*before == now) return {};
  std::vector<std::string> lines;
  if (before->kind == Mode::NoKey) lines.push_back("key TarsiMode created");
  if (HasValue(*before) && !HasValue(now)) lines.push_back("Mode deleted, " + WasText(*before));
  if (!HasValue(*before) && HasValue(now)) lines.push_back(ValueText(now) + ", created");
  if (HasValue(*before) && HasValue(now)) lines.push_back(ValueText(now) + ", " + WasText(*before));
  if (now.kind == Mode::NoKey) lines.push_back("key TarsiMode deleted");
  return lines;
}

std::string ServiceStateName(uint32_t state) {
  using namespace service_state;
  switch (state) {
    case kStopped: return "stopped";
    case kStartPending: return "start pending";
    case kStopPending: return "stop pending";
    case kRunning: return "running";
    case kContinuePending: return "continue pending";
    case kPausePending: return "pause pending";
    case kPaused: return "paused";
    default: return "state " + std::to_string(state);
  }
}

std::vector<std::string> DescribeServiceChange(const std::optional<ServiceObservation>& before,
                                               const ServiceObservation& now) {
  using Kind = ServiceObservation::Kind;
  if (!before) return {ServiceText(now)};
  if (*before == now) return {};
  if (now.kind == Kind::Absent) return {"KQD deleted"};
  if (before->kind == Kind::Absent && now.kind == Kind::Present) {
    return {"KQD created, " + StateText(now)};
  }
  return {ServiceText(now)};
}

std::vector<std::string> DescribeSlateChange(const std::optional<int32_t>& before, int32_t now) {
  auto text = [](int32_t metric) {
    return std::to_string(metric) + (metric == 0 ? " (slate)" : " (laptop)");
  };
  if (!before) return {"SM_CONVERTIBLESLATEMODE = " + text(now)};
  if (*before == now) return {};
  return {"SM_CONVERTIBLESLATEMODE = " + text(now) + ", was " + text(*before)};
}

bool NamesSlateSetting(const char16_t* area) {
  return area != nullptr && std::u16string_view{area} == u"ConvertibleSlateMode";
}

std::string DescribeSlateInterfaces(const SlateInterfaceList& list) {
  if (!list.listed) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%02X", static_cast<unsigned>(list.configret));
    return std::string("toggle devices not listed (CONFIGRET ") + code + ")";
  }
  if (list.paths.empty()) return "no toggle device present";
  std::string text = "toggle device " + list.paths.front();
  if (list.paths.size() > 1) text += ", the first of " + std::to_string(list.paths.size());
  return text;
}

std::optional<std::string> KqdDebugText(std::string_view text) {
  constexpr std::string_view kTag = "<kqd>:";
  if (text.substr(0, kTag.size()) != kTag) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return std::string(text);
}

std::string FormatEventLine(const LocalClockTime& time, std::string_view source, std::string_view text) {
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%02u:%02u:%02u.%03u  ", time.hour % 100, time.minute % 100,
                time.second % 100, time.millisecond % 1000);
  std::string line = stamp;
  line += source;
  if (source.size() < 7) line.append(7 - source.size(), ' ');
  line += "  ";
  line += text;
  return line;
}

WatchCommand ParseWatchCommandLine(int argc, const char16_t* const* argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return WatchCommand::Watch;
  if (argc > 2) return WatchCommand::Bad;
  const std::u16string_view arg{argv[1]};
  for (std::u16string_view help : {u"-h", u"--help", u"/?", u"-?"}) {
    if (arg == help) return WatchCommand::Help;
  }
  return WatchCommand::Bad;
}

}  // namespace kqd
