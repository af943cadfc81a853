// kqdtb.exe: reads and steers the testbed's doubles from inside the Wine prefix.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "command.h"

namespace kqdtb {
namespace {
TestbedCommand* g_commands = nullptr;

void Print(FILE* stream, const wchar_t* format, va_list args) {
  std::vfwprintf(stream, format, args);
  std::fflush(stream);
}
}  // namespace

TestbedCommand::TestbedCommand(const wchar_t* n, const wchar_t* u, CommandFn r)
    : name(n), usage(u), run(r), next(g_commands) {
  g_commands = this;
}

void Out(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stdout, format, args);
  va_end(args);
}

void Err(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Print(stderr, format, args);
  va_end(args);
}

std::optional<std::uint32_t> ParseUint32(const wchar_t* text) {
  if (text == nullptr || !std::iswdigit(text[0])) return std::nullopt;
  const bool hex = text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
  if (hex && !std::iswxdigit(text[2])) return std::nullopt;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long value = std::wcstoull(text, &end, hex ? 16 : 10);
  if (*end != L'\0' || errno == ERANGE || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace kqdtb

int wmain(int argc, wchar_t* argv[]) {
  if (argc >= 2) {
    for (auto* c = kqdtb::g_commands; c != nullptr; c = c->next) {
      if (std::wcscmp(c->name, argv[1]) == 0) return c->run(argc - 1, argv + 1);
    }
    kqdtb::Err(L"kqdtb: unknown command %ls\n", argv[1]);
  }
  kqdtb::Err(L"usage: kqdtb.exe COMMAND [ARGS]\n");
  for (auto* c = kqdtb::g_commands; c != nullptr; c = c->next) kqdtb::Err(L"  %ls %ls\n", c->name, c->usage);
  return 2;
}
