#pragma once

namespace kqd::win {

// CoInitializeEx in the multithreaded apartment; after a failure, CoUninitialize
// once and one more try. True when COM is usable on this thread. COM is never
// uninitialised afterwards: the apartment lives as long as the thread.
bool InitializeComWithRetry();

// The same steps for a caller that balances a success with CoUninitialize
// itself: the HRESULT of the last attempt (HRESULT is a long).
long InitializeComWithRetryResult();

// CoInitializeSecurity for the process at the given RPC_C_AUTHN_LEVEL_*, with
// impersonation. Security set earlier in the process (RPC_E_TOO_LATE) counts as
// done: S_OK. Otherwise its HRESULT.
long InitializeComSecurity(unsigned long authenticationLevel);

}  // namespace kqd::win
