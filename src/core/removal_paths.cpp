#include "removal_paths.h"

#include <initializer_list>

namespace kqd {
namespace {

std::optional<std::u16string> Fit(std::initializer_list<std::u16string_view> parts) {
  std::u16string text;
  for (const auto part : parts) text += part;
  // A NUL inside a part would end the text early where the platform reads it.
  if (text.size() >= kPathCapacity || text.find(u'\0') != std::u16string::npos) return std::nullopt;
  return text;
}

}  // namespace

std::optional<std::u16string> OwnerInfPath(std::u16string_view windowsDirectory, std::u16string_view name) {
  return Fit({windowsDirectory, u"\\INF\\", name});
}

std::optional<std::u16string> SystemFilePath(std::u16string_view systemDirectory, std::u16string_view name) {
  return Fit({systemDirectory, u"\\", name});
}

std::optional<std::u16string> UninstallCommandLine(std::u16string_view program, std::u16string_view infPath) {
  return Fit({u"\"", program, u"\" setupapi,InstallHinfSection DefaultUninstall 128 ", infPath});
}

}  // namespace kqd
