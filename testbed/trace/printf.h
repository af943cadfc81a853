#pragma once
// printf into a std::string, for the report and the picture alike.

#include <string>

namespace kqdtb::trace {

// Longer results are cut at 511 characters; every caller formats one short field or line.
std::string Printf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

}  // namespace kqdtb::trace
