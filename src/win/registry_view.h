#pragma once

#include <windows.h>

namespace kqd::win {

// The service's keys live in the 64-bit view: a process under WOW64 adds KEY_WOW64_64KEY.
REGSAM WithRegistryView(REGSAM access);

}  // namespace kqd::win
