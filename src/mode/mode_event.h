#pragma once
// "EventModeChange": every source announces a new mode through it.

namespace kqd {

inline constexpr wchar_t kModeChangeEventName[] = L"EventModeChange";

// Opens, signals and closes the event; false, and nothing done, when no watcher owns it.
bool SignalModeChange();

}  // namespace kqd
