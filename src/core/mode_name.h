#pragma once
// The one naming of the usage modes, for every text that shows one.

#include <string>

#include "core/usage_mode.h"

namespace kqd {

// "unknown", "laptop", "tablet", "fold 3", "fold 4"; the number for any other value.
std::string ModeName(UsageMode mode);

}  // namespace kqd
