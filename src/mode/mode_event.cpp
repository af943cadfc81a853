#include "mode/mode_event.h"

#include <windows.h>

#include "win/unique_handle.h"

namespace kqd {

void SignalModeChange() {
  const win::UniqueHandleNull event(::OpenEventW(EVENT_ALL_ACCESS, FALSE, kModeChangeEventName));
  if (event) ::SetEvent(event.get());
}

}  // namespace kqd
