// The command line: the fuzz bytes are UTF-16 arguments separated by NUL units.
#include <vector>

#include "core/command_line.h"
#include "fuzz_check.h"

namespace {

char16_t FlipAsciiCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c - u'A' + u'a');
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kqd::CommandAction;
  const std::u16string text = kqd::fuzz::Utf16(data, size);

  std::vector<std::u16string> args{u"kqd.exe"};
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char16_t*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  const CommandAction action = kqd::ParseCommandLine(argc, argv.data());
  KQD_FUZZ_CHECK(action == kqd::ParseCommandLine(argc, argv.data()));

  // Only the first argument decides.
  KQD_FUZZ_CHECK(action == kqd::ParseCommandLine(2, argv.data()));

  const std::u16string& first = args[1];
  const bool isSwitch = !first.empty() && (first[0] == u'-' || first[0] == u'/');
  KQD_FUZZ_CHECK((action == CommandAction::RunService) == !isSwitch);

  // ASCII letter case never matters, and nothing beyond ASCII folds.
  std::u16string flipped = first;
  for (char16_t& c : flipped) c = FlipAsciiCase(c);
  const char16_t* flippedArgv[] = {argv[0], flipped.c_str(), nullptr};
  KQD_FUZZ_CHECK(action == kqd::ParseCommandLine(2, flippedArgv));

  if (isSwitch) {
    const std::u16string_view name = std::u16string_view(first).substr(1);
    KQD_FUZZ_CHECK(kqd::EqualsAsciiNoCase(name, std::u16string_view(flipped).substr(1)));
    KQD_FUZZ_CHECK(action != CommandAction::PnPTask || name.size() == 7);
    KQD_FUZZ_CHECK(action != CommandAction::Install || name.size() == 7);
    KQD_FUZZ_CHECK(action != CommandAction::Uninstall || name.size() == 9);
  }
  if (args.size() > 2) {
    KQD_FUZZ_CHECK(kqd::EqualsAsciiNoCase(args[1], args[2]) == kqd::EqualsAsciiNoCase(args[2], args[1]));
  }
  return 0;
}
