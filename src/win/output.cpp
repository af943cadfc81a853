#include "output.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace kqd::win {

void DebugOut(const wchar_t* text) { ::OutputDebugStringW(text); }

void ConsoleOut(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfwprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace kqd::win
