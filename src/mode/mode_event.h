#pragma once
// "EventModeChange": every source announces a new mode through it.

namespace kqd {

inline constexpr wchar_t kModeChangeEventName[] = L"EventModeChange";

// Opens, signals and closes the event; silently does nothing when no watcher owns it.
void SignalModeChange();

}  // namespace kqd
