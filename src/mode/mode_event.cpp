#include "mode/mode_event.h"

#include <windows.h>

#include "win/unique_handle.h"

namespace kqd {

bool SignalModeChange() {
  const win::UniqueHandleNull event(::OpenEventW(EVENT_ALL_ACCESS, FALSE, kModeChangeEventName));
  return event && ::SetEvent(event.get());
}

}  // namespace kqd
