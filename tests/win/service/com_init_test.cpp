// COM start-up with its one retry: the apartment a thread already has decides.

#include "win/com_init.h"

#include <gtest/gtest.h>
#include <objbase.h>

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

}  // namespace
