#pragma once
// The two output channels: the debugger and the console.

namespace kqd::win {

// One line to the debugger (OutputDebugStringW); the text carries its own tag and CRLF.
void DebugOut(const wchar_t* text);

// Formatted wide output to standard output, as wprintf.
void ConsoleOut(const wchar_t* format, ...);

}  // namespace kqd::win
