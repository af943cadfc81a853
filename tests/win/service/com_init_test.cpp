// COM start-up with its one retry: the apartment a thread already has decides.
// COM security set twice in a process: what Windows answers the second time.

#include "win/com_init.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include "common/iat_patch.h"

#include <ostream>
#include <thread>

namespace {

struct ComCase {
  const char* label;
  int singleThreadedInits;  // how often the thread entered a single-threaded apartment first
  bool usable;
  friend void PrintTo(const ComCase& c, std::ostream* os) { *os << c.label; }
};

class ComInit : public testing::TestWithParam<ComCase> {};

// The retry's CoUninitialize leaves one earlier apartment; only a lone one is replaced.
TEST_P(ComInit, RetriesOnceAfterUninitialising) {
  const auto& c = GetParam();
  bool usable = false;
  HRESULT afterwards = E_FAIL;
  std::thread([&] {
    for (int i = 0; i < c.singleThreadedInits; ++i) ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    usable = kqd::win::InitializeComWithRetry();
    // S_FALSE: already in the multithreaded apartment; RPC_E_CHANGED_MODE: still single-threaded.
    afterwards = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  }).join();
  EXPECT_EQ(usable, c.usable) << c.label;
  EXPECT_EQ(afterwards, c.usable ? S_FALSE : RPC_E_CHANGED_MODE) << c.label;
}

const ComCase kCases[] = {
    {"fresh thread", 0, true},
    {"one single-threaded apartment is replaced", 1, true},
    {"two single-threaded apartments keep one", 2, false},
};

INSTANTIATE_TEST_SUITE_P(Apartments, ComInit, testing::ValuesIn(kCases));

HRESULT g_securityAnswer = S_OK;
HRESULT WINAPI AnswerSecurity(PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD, DWORD, void*,
                              DWORD, void*) {
  return g_securityAnswer;
}

// Windows answers a second CoInitializeSecurity in a process with RPC_E_TOO_LATE;
// Wine's is a stub that answers S_OK every time, so the answer is put in the
// import slot the library calls through.
TEST(ComSecurity, SecuritySetEarlierCountsAsDone_OtherFailuresPassThrough) {
  EXPECT_EQ(S_OK, ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT,
                                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr))
      << "Wine's CoInitializeSecurity now answers; the testbed's list of differences needs updating";
  void* real = nullptr;
  ASSERT_TRUE(kqdtb::PatchImport(::GetModuleHandleW(nullptr), "CoInitializeSecurity",
                                        reinterpret_cast<void*>(&AnswerSecurity), &real));
  const struct {
    HRESULT answer;
    long expected;
  } cases[] = {{S_OK, S_OK}, {RPC_E_TOO_LATE, S_OK}, {E_ACCESSDENIED, E_ACCESSDENIED}, {E_OUTOFMEMORY, E_OUTOFMEMORY}};
  for (const auto& c : cases) {
    g_securityAnswer = c.answer;
    EXPECT_EQ(c.expected, kqd::win::InitializeComSecurity(RPC_C_AUTHN_LEVEL_PKT)) << std::hex << c.answer;
  }
  kqdtb::PatchImport(::GetModuleHandleW(nullptr), "CoInitializeSecurity", real, nullptr);
}

}  // namespace
