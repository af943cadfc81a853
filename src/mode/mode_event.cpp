#include "mode/mode_event.h"

#include <windows.h>

#include "win/event.h"

namespace kqd {

bool SignalModeChange() {
  return win::Event::Open(kModeChangeEventName, EVENT_ALL_ACCESS).Set();
}

}  // namespace kqd
