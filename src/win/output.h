#pragma once
// The output channels: the debugger and the console (its output and error streams).

namespace kqd::win {

// One line to the debugger (OutputDebugStringW); the text carries its own tag and CRLF.
void DebugOut(const wchar_t* text);

// Formatted wide output to standard output, as wprintf.
void ConsoleOut(const wchar_t* format, ...);

// The same to standard error, for the reason a program cannot go on.
void ConsoleErr(const wchar_t* format, ...);

}  // namespace kqd::win
