#include "trace/printf.h"

#include <cstdarg>
#include <cstdio>

namespace kqdtb::trace {

std::string Printf(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace kqdtb::trace
