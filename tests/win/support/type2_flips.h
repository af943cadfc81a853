#pragma once
// The driver source's watch thread reads "Type2" on its own schedule, and a flip
// made before that read is only its starting value: flip until one is seen.

#include <functional>

#include "doubles/davodira/davodira_client.h"

namespace kqdtest {

// `seen` waits (bounded) for the effect of one flip.
inline bool FlipType2Until(const std::function<bool()>& seen, int attempts = 10) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (!kqdtb::davodira::FlipType2()) return false;
    if (seen()) return true;
  }
  return false;
}

// Flips until the watch thread asks the driver; that request stays in the record.
inline bool FlipType2UntilAsked() {
  return FlipType2Until([] {
    const auto record = kqdtb::davodira::WaitForEntries(1, 2000);
    return record && !record->entries.empty();
  });
}

}  // namespace kqdtest
