#include "command_line.h"

namespace kqd {
namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

}  // namespace

bool EqualsAsciiNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

CommandAction ParseCommandLine(int argc, const char16_t* const* argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return CommandAction::RunService;
  const std::u16string_view first{argv[1]};
  if (first.empty() || (first[0] != u'-' && first[0] != u'/')) return CommandAction::RunService;

  const std::u16string_view name = first.substr(1);
  if (EqualsAsciiNoCase(name, u"install")) return CommandAction::Install;
  if (EqualsAsciiNoCase(name, u"uninstall")) return CommandAction::Uninstall;
  if (EqualsAsciiNoCase(name, u"PnPTask")) return CommandAction::PnPTask;
  return CommandAction::Ignore;
}

}  // namespace kqd
