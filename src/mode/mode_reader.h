#pragma once
// What the broadcaster reads from the controller.

#include "core/usage_mode.h"

namespace kqd {

// Each call under the controller lock.
class IModeReader {
 public:
  virtual UsageMode GetMode() = 0;
  virtual BroadcastSwitches GetSwitches() = 0;

 protected:
  ~IModeReader() = default;
};

}  // namespace kqd
