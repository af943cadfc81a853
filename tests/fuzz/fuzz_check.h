#pragma once
// Shared by the libFuzzer targets: a check that stops the run with a message, and
// the registry's view of bytes as UTF-16LE text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A wrong answer is as much a finding as a crash: abort so libFuzzer keeps the input.
#define KQD_FUZZ_CHECK(cond)                                                        \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace kqd::fuzz {

// Little-endian units; an odd last byte is a unit whose high half is zero.
inline std::u16string Utf16(const uint8_t* data, size_t size) {
  std::u16string text((size + 1) / 2, u'\0');
  for (size_t i = 0; i < size; ++i) {
    text[i / 2] = static_cast<char16_t>(text[i / 2] | (data[i] << (i % 2 == 0 ? 0 : 8)));
  }
  return text;
}

}  // namespace kqd::fuzz
