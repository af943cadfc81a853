#include "output.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace kqd::win {

void DebugOut(const wchar_t* text) { ::OutputDebugStringW(text); }

namespace {

void Print(FILE* stream, const wchar_t* format, va_list args) {
  std::vfwprintf(stream, format, args);
  std::fflush(stream);
}

}  // namespace

void ConsoleOut(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stdout, format, args);
  va_end(args);
}

void ConsoleErr(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, format, args);
  va_end(args);
}

}  // namespace kqd::win
