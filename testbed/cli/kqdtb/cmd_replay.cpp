// replay: feeds a posture trace in real time into the running service through one
// source's double, and writes the replay record of what the service published.
// With --floor the service is stopped and the replayer publishes in its place, so
// the record times the measuring path alone.

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "command.h"
#include "trace/replay/floor_feed.h"
#include "trace/replay/input_feeds.h"
#include "trace/replay/replay_plan.h"
#include "trace/replay/replay_run.h"
#include "trace/source.h"
#include "service/kqd_service.h"
#include "trace/replay_record.h"
#include "trace/trace_file.h"
#include "win/wide.h"

namespace kqdtb {
namespace {

namespace rp = replay;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

const std::wstring kArguments =
    L"--source " + Widen(kqd::ModeSourceNames()) + L" [--floor] [--settle MS] TRACE RECORD";
const std::wstring kUsage = L"usage: kqdtb.exe replay " + kArguments + L"\n";
constexpr DWORD kMaxSettleMs = 60000;
constexpr size_t kMaxTraceBytes = 64u << 20;

// An absolute unix path (as the bash side hands it over) becomes the prefix's DOS
// name through Wine's own mapping; anything else is taken as it is. Relative unix
// paths need nothing: Wine runs the process in the DOS name of the caller's folder.
std::wstring DosPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  using ToDos = WCHAR*(CDECL*)(const char*);
  const auto toDos = reinterpret_cast<ToDos>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (toDos == nullptr) return path;
  WCHAR* converted = toDos(kqd::win::Utf8(path).c_str());
  if (converted == nullptr) return path;
  std::wstring result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

bool ReadWholeFile(const std::wstring& path, std::string* text) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return false;
  char buffer[65536];
  size_t got = 0;
  bool ok = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, got);
    if (text->size() > kMaxTraceBytes) {
      ok = false;
      break;
    }
  }
  ok = ok && std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

int Refuse(const std::string& why) {
  Err(L"kqdtb replay: %hs\n", why.c_str());
  return 2;
}

int RunReplay(int argc, wchar_t** argv) {
  std::optional<Source> source;
  DWORD settleMs = 1000;
  bool floor = false;
  std::wstring paths[2];
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--source" && i + 1 < argc) {
      source = kqd::ParseModeSourceName(kqd::win::Utf8(argv[++i]));
      if (!source) {
        return Refuse("unknown source \"" + kqd::win::Utf8(argv[i]) + "\" (" + kqd::ModeSourceNames() + ")");
      }
    } else if (arg == L"--settle" && i + 1 < argc) {
      const auto ms = ParseUint32(argv[++i]);
      if (!ms || *ms > kMaxSettleMs) return Refuse("--settle takes milliseconds, 0 to 60000");
      settleMs = *ms;
    } else if (arg == L"--floor" && !floor) {
      floor = true;
    } else if (arg.rfind(L"--", 0) == 0 || positional == 2) {
      Err(L"%ls", kUsage.c_str());
      return 2;
    } else {
      paths[positional++] = arg;
    }
  }
  if (!source || positional != 2) {
    Err(L"%ls", kUsage.c_str());
    return 2;
  }
  const std::wstring tracePath = DosPath(paths[0]);
  const std::wstring recordPath = DosPath(paths[1]);

  std::string text;
  if (!ReadWholeFile(tracePath, &text)) return Refuse("cannot read the trace " + kqd::win::Utf8(paths[0]));
  std::string why;
  const auto trace = trace::ParseTrace(text, &why);
  if (!trace) return Refuse(kqd::win::Utf8(paths[0]) + ": " + why);
  auto inputs = rp::PlanInputs(*trace, *source, &why);
  if (!inputs) return Refuse(kqd::win::Utf8(paths[0]) + ": " + why);

  // Two publishers of one mode would time neither.
  if (floor && kqd::IsServiceRunning(kqd::kServiceName)) {
    return Refuse("--floor publishes in the service's place: stop it first (sc stop KQD)");
  }
  const auto feed = floor ? rp::MakeFloorFeed(*source, trace->rows, rp::FloorOutlet{}) : rp::MakeFeed(*source);
  rp::RunSetup setup;
  setup.source = *source;
  setup.inputs = std::move(*inputs);
  setup.settleMs = settleMs;
  setup.feed = feed.get();
  setup.devices = rp::DriverDoubles();
  const rp::RunResult result = rp::RunReplay(setup);
  if (result.outcome == rp::RunOutcome::Refused) return Refuse(result.error);

  if (!WriteWholeFile(recordPath, trace::FormatRecord(result.record))) {
    Err(L"kqdtb replay: cannot write the record %ls\n", paths[1].c_str());
    return 1;
  }
  Out(L"replayed %zu inputs in %.1f ms; %zu mode writes, %zu energy requests, %zu slate writes; "
      L"inputs at most %.2f ms late\n",
      result.delivered, result.spanMs, result.modeWrites, result.energyRequests, result.slateWrites,
      result.maxLateMs);
  if (result.outcome == rp::RunOutcome::Failed) {
    Err(L"kqdtb replay: stopped after %zu of %zu inputs: %hs\n", result.delivered, setup.inputs.size(),
        result.error.c_str());
    return 1;
  }
  return 0;
}

const std::wstring kHelp =
    kArguments +
    L" (feed the trace in real time into the running service through that source's double; write what it "
    L"published as a replay record. --floor: the service stopped, publish at each input what it would, for the "
    L"floor of the measuring path)";

TestbedCommand replayCommand{L"replay", kHelp.c_str(), &RunReplay};

}  // namespace
}  // namespace kqdtb
