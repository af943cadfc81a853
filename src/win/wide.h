#pragma once
// Windows wide strings are UTF-16; the platform-free rules take char16_t.

#include <string_view>

namespace kqd::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wchar_t is UTF-16");

inline const char16_t* AsU16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline const char16_t* const* AsU16(const wchar_t* const* argv) {
  return reinterpret_cast<const char16_t* const*>(argv);
}

}  // namespace kqd::win
