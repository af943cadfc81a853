#pragma once
// Programs a test starts as a script would: another process, beside this test.

#include <windows.h>

#include <string>

#include "win/unique_handle.h"

namespace kqdtest {

// Starts kqdtb.exe (beside this executable) with `arguments`; the process handle,
// or an invalid one and a test failure when it cannot start.
kqd::win::UniqueHandleNull StartKqdtb(const std::wstring& arguments);

}  // namespace kqdtest
