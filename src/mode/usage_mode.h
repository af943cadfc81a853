#pragma once

#include <cstdint>

namespace kqd {

// 0 unknown, 1 laptop, 2 tablet, 3 and 4 the folded postures; larger values pass through.
using UsageMode = uint32_t;

}  // namespace kqd
