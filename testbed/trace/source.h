#pragma once
// The testbed names, parses, times and switches a mode source by the service's own
// table, so that a source added there needs no second list here.

#include "core/mode_source_table.h"

namespace kqdtb {

using Source = kqd::ModeSourceKind;

}  // namespace kqdtb
