// "ReleaseId" against the C library's strtol on the same text, narrowed: units
// beyond ASCII become a letter, which neither strtol nor the service reads as a
// digit, a sign or white space.
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/release_id.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string text = kqd::fuzz::Utf16(data, size);
  const int32_t parsed = kqd::ParseReleaseId(text);
  KQD_FUZZ_CHECK(parsed == kqd::ParseReleaseId(text));

  std::string narrow;
  for (const char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : 'x');
  errno = 0;
  long long expected = std::strtoll(narrow.c_str(), nullptr, 10);
  if (expected > std::numeric_limits<int32_t>::max()) expected = std::numeric_limits<int32_t>::max();
  if (expected < std::numeric_limits<int32_t>::min()) expected = std::numeric_limits<int32_t>::min();
  KQD_FUZZ_CHECK(parsed == expected);

  KQD_FUZZ_CHECK(kqd::IsReleaseBefore1903(text) == (parsed < kqd::kRelease1903));
  return 0;
}
