#pragma once
// Whether this process's events are signalled, read without waiting on them: a
// request that nobody has taken yet shows, with no timing involved.

#include <windows.h>

#include <map>
#include <vector>

namespace kqdtest {

// Every event handle of this process, and whether it is signalled now.
std::map<HANDLE, bool> EventStates();

// The events in `now` that `before` did not have.
std::vector<HANDLE> EventsAdded(const std::map<HANDLE, bool>& before, const std::map<HANDLE, bool>& now);

// How many of `events` are signalled now.
size_t SignalledCount(const std::vector<HANDLE>& events);

}  // namespace kqdtest
