// slate-announce: what the window manager does on Windows when the slate state
// changes. Microsoft's GetSystemMetrics page: "When this system metric changes, the
// system sends a broadcast message via WM_SETTINGCHANGE with "ConvertibleSlateMode"
// in the LPARAM". Here the state is the slate-toggle double's, which settles only
// when it is asked (it has no timer), so this process asks every 10 ms and
// broadcasts to the top-level windows of its own desktop on each change it finds.
// Runs until it is killed; one line per broadcast, the state it announced.

#include <cstdint>

#include "command.h"
#include "doubles/slate/slate_client.h"

namespace kqdtb {
namespace {

constexpr DWORD kPollMs = 10;
// Per window: a hung one is skipped (SMTO_ABORTIFHUNG), a slow one waited for this long.
constexpr UINT kPerWindowMs = 2000;
constexpr wchar_t kSettingArea[] = L"ConvertibleSlateMode";

struct Seen {
  std::uint64_t changes = 0;  // held and dropped: a count that only grows until a reset
  slate::SlateState state = slate::SlateState::Laptop;
};

// The count catches a change there and back between two looks; the state, a change
// after a reset emptied the record. A change that shows between the two reads is
// announced twice, never missed.
bool Look(Seen& seen) {
  const auto changes = slate::ReadChanges();
  const auto machine = slate::ReadMachine();
  if (!changes || !machine) return false;
  seen.changes = changes->entries.size() + changes->dropped;
  seen.state = machine->state;
  return true;
}

void Broadcast(slate::SlateState state) {
  DWORD_PTR result = 0;
  if (::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(kSettingArea),
                            SMTO_ABORTIFHUNG, kPerWindowMs, &result) == 0) {
    Err(L"kqdtb slate-announce: the broadcast failed (error %lu)\n", ::GetLastError());
    return;
  }
  Out(L"%ls\n", slate::SlateStateName(state));
}

int RunAnnounce(int argc, wchar_t** argv) {
  if (argc != 1) {
    Err(L"usage: kqdtb slate-announce\n");
    return 2;
  }
  Seen last;
  if (!Look(last)) {
    Err(L"kqdtb %ls: the slate-toggle double is not installed (kqdtb install-slate)\n", argv[0]);
    return 1;
  }
  Out(L"ready, %ls\n", slate::SlateStateName(last.state));
  for (;;) {
    ::Sleep(kPollMs);
    Seen now;
    if (!Look(now)) {
      Err(L"kqdtb %ls: the slate-toggle double is gone\n", argv[0]);
      return 1;
    }
    // A smaller count is a reset, not a change; a change there and back between two
    // looks is one announcement.
    const bool changed = now.changes > last.changes || now.state != last.state;
    last = now;
    if (changed) Broadcast(now.state);
  }
}

TestbedCommand announce{L"slate-announce",
                        L"(broadcast WM_SETTINGCHANGE \"ConvertibleSlateMode\" on each change of the slate state, "
                        L"until killed)",
                        &RunAnnounce};

}  // namespace
}  // namespace kqdtb
