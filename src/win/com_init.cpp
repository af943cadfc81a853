#include "com_init.h"

#include <objbase.h>

namespace kqd::win {

bool InitializeComWithRetry() {
  if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return true;
  ::CoUninitialize();
  return SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

}  // namespace kqd::win
