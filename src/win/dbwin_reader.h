#pragma once
// The reading side of the debugger-output protocol: OutputDebugString in any process
// of the session writes one line at a time into the "DBWIN_BUFFER" mapping once
// "DBWIN_BUFFER_READY" is set, and sets "DBWIN_DATA_READY". One reader at a time.

#include <windows.h>

#include <functional>
#include <string>

#include "win/event.h"
#include "win/unique_handle.h"

namespace kqd::win {

struct DebugLine {
  DWORD pid = 0;
  std::string text;  // as written, line end included
};

class DbwinReader {
 public:
  enum class OpenResult { Ok, Busy, Failed };

  // Claims the buffer and lets the first writer in. Busy when another reader (a
  // debugger, DebugView, a second watch) already holds it; Failed leaves GetLastError.
  OpenResult Open();

  // Signalled when a line waits; Take it, which hands the buffer to the next writer.
  HANDLE DataReady() const { return dataReady_.get(); }
  DebugLine Take();

  // Takes every line until `stop` is signalled; false when the wait fails.
  bool ReadUntil(HANDLE stop, const std::function<void(const DebugLine&)>& onLine);

 private:
  UniqueHandleNull mapping_;
  Event bufferReady_;
  Event dataReady_;
  UniqueMappedView view_;
};

}  // namespace kqd::win
