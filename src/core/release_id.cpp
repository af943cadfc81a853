#include "release_id.h"

#include <limits>

namespace kqd {
namespace {

bool IsCSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

}  // namespace

int32_t ParseReleaseId(std::u16string_view text) {
  if (const size_t nul = text.find(u'\0'); nul != std::u16string_view::npos) {
    text = text.substr(0, nul);
  }
  size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  // Accumulate the magnitude in 64 bits and stop growing once past the range.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[i] - u'0');
  }
  if (negative) {
    return magnitude >= kLimit ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(-magnitude);
  }
  return magnitude >= kLimit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

}  // namespace kqd
