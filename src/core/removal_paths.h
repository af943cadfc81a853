#pragma once
// The paths and the command line of self-removal. Each must fit a buffer of
// kPathCapacity units with its NUL; one that does not is empty, and the caller
// treats it as a failed composition.

#include <optional>
#include <string>
#include <string_view>

#include "core/owner_list.h"

namespace kqd {

inline constexpr char16_t kEmbeddedInfName[] = u"kqddrv.INF";
inline constexpr char16_t kUninstallProgramName[] = u"rundll32.exe";

// "<windows>\INF\<name>"
std::optional<std::u16string> OwnerInfPath(std::u16string_view windowsDirectory, std::u16string_view name);

// "<system>\<name>"
std::optional<std::u16string> SystemFilePath(std::u16string_view systemDirectory, std::u16string_view name);

// "\"<program>\" setupapi,InstallHinfSection DefaultUninstall 128 <inf>"
std::optional<std::u16string> UninstallCommandLine(std::u16string_view program, std::u16string_view infPath);

}  // namespace kqd
