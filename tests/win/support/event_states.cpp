#include "support/event_states.h"

#include <cstdint>
#include <optional>

namespace kqdtest {
namespace {

struct EventBasicInformation {
  LONG type;
  LONG state;
};
using NtQueryEventFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

std::optional<bool> Signalled(NtQueryEventFn query, HANDLE handle) {
  EventBasicInformation info{};
  if (query(handle, 0 /* EventBasicInformation */, &info, sizeof info, nullptr) < 0) return std::nullopt;
  return info.state != 0;
}

NtQueryEventFn Query() {
  return reinterpret_cast<NtQueryEventFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent")));
}

}  // namespace

std::map<HANDLE, bool> EventStates() {
  std::map<HANDLE, bool> states;
  const NtQueryEventFn query = Query();
  if (query == nullptr) return states;
  // Handle values are multiples of 4; a test process holds far fewer than this.
  for (uintptr_t value = 4; value < 0x4000; value += 4) {
    const auto handle = reinterpret_cast<HANDLE>(value);
    if (const auto signalled = Signalled(query, handle)) states[handle] = *signalled;
  }
  return states;
}

std::vector<HANDLE> EventsAdded(const std::map<HANDLE, bool>& before, const std::map<HANDLE, bool>& now) {
  std::vector<HANDLE> added;
  for (const auto& [handle, signalled] : now) {
    if (before.count(handle) == 0) added.push_back(handle);
  }
  return added;
}

size_t SignalledCount(const std::vector<HANDLE>& events) {
  const NtQueryEventFn query = Query();
  size_t count = 0;
  for (HANDLE event : events) count += query != nullptr && Signalled(query, event).value_or(false) ? 1 : 0;
  return count;
}

}  // namespace kqdtest
