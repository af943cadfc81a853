#pragma once
// What kqd.exe does, decided from its first argument alone.

#include <string_view>

namespace kqd {

enum class CommandAction {
  RunService,  // no argument, or one without a leading '-' or '/'
  Install,     // accepted, does nothing
  Uninstall,   // accepted, does nothing
  PnPTask,     // self-removal check
  Ignore,      // any other switch, "-" alone included
};

// argv[0] is the program path; only argv[1] is looked at. Null entries count as absent.
CommandAction ParseCommandLine(int argc, const char16_t* const* argv);

// Whole-string comparison where only ASCII A-Z fold to a-z.
bool EqualsAsciiNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace kqd
