#include "com_init.h"

#include <objbase.h>

namespace kqd::win {

bool InitializeComWithRetry() { return SUCCEEDED(InitializeComWithRetryResult()); }

long InitializeComWithRetryResult() {
  const HRESULT first = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(first)) return first;
  ::CoUninitialize();
  return ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

}  // namespace kqd::win
