#pragma once
// Commands of kqdtb.exe, the Windows side of the testbed CLI. Each command file
// registers itself with a static TestbedCommand; main.cpp finds it by name.

#include <windows.h>

#include <cstdint>
#include <optional>

namespace kqdtb {

using CommandFn = int (*)(int argc, wchar_t** argv);  // argv[0] is the command name

struct TestbedCommand {
  TestbedCommand(const wchar_t* name, const wchar_t* usage, CommandFn run);
  const wchar_t* name;
  const wchar_t* usage;
  CommandFn run;
  TestbedCommand* next;
};

// Prints to stdout/stderr and flushes, so lines interleave sanely under Wine.
void Out(const wchar_t* format, ...);
void Err(const wchar_t* format, ...);

// A whole unsigned number, decimal or 0x-hexadecimal, that fits 32 bits.
std::optional<std::uint32_t> ParseUint32(const wchar_t* text);

}  // namespace kqdtb
