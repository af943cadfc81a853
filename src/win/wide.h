#pragma once
// Windows wide strings are UTF-16; the platform-free rules take char16_t, and
// what goes to a file, a console or a narrow rule is UTF-8.

#include <windows.h>

#include <string>
#include <string_view>

namespace kqd::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wchar_t is UTF-16");

inline const char16_t* AsU16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline const char16_t* const* AsU16(const wchar_t* const* argv) {
  return reinterpret_cast<const char16_t* const*>(argv);
}

// Unpaired surrogates become U+FFFD, as WideCharToMultiByte makes them.
inline std::string Utf8(std::wstring_view text) {
  const int length = static_cast<int>(text.size());
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

}  // namespace kqd::win
