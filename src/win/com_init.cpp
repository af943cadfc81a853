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

long InitializeComSecurity(unsigned long authenticationLevel) {
  const HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, authenticationLevel,
                                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  return hr == RPC_E_TOO_LATE ? S_OK : hr;
}

}  // namespace kqd::win
