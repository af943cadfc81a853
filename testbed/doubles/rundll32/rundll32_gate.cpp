// A rundll32 for the prefix that first records how it was started and can be held
// back, then does what rundll32 does: loads "DLL,Entry" and calls EntryW with the
// rest of the command line. So a test sees the uninstall's command line and the INF
// as self-removal left it, and proves that nobody waited for the uninstall, while
// the uninstall itself stays Wine's own setupapi.
//   C:\kqdtb\rundll32\calls.log   one line per start: "start <command line>", then "done"
//   C:\kqdtb\rundll32\hold        while it exists (at most two minutes) the call waits

#include <windows.h>

#include <string>

#include "win/unique_handle.h"
#include "win/wide.h"

namespace {

using kqd::win::UniqueFile;

constexpr wchar_t kLog[] = L"C:\\kqdtb\\rundll32\\calls.log";
constexpr wchar_t kHold[] = L"C:\\kqdtb\\rundll32\\hold";
constexpr DWORD kHoldLimitMs = 120 * 1000;
constexpr DWORD kHoldPollMs = 50;

void Log(const std::wstring& line) {
  UniqueFile file(::CreateFileW(kLog, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string bytes = kqd::win::Utf8(line + L"\n");
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The command line after the program name, as rundll32 sees it.
std::wstring Tail(const wchar_t* line) {
  std::wstring text(line);
  size_t at = 0;
  if (!text.empty() && text[0] == L'"') {
    at = text.find(L'"', 1);
    at = at == std::wstring::npos ? text.size() : at + 1;
  } else {
    at = text.find(L' ');
    if (at == std::wstring::npos) at = text.size();
  }
  while (at < text.size() && text[at] == L' ') ++at;
  return text.substr(at);
}

using EntryW = void(WINAPI*)(HWND, HINSTANCE, LPCWSTR, int);

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int show) {
  const wchar_t* line = ::GetCommandLineW();
  Log(std::wstring(L"start ") + line);
  for (DWORD waited = 0; ::GetFileAttributesW(kHold) != INVALID_FILE_ATTRIBUTES && waited < kHoldLimitMs;
       waited += kHoldPollMs) {
    ::Sleep(kHoldPollMs);
  }

  // "DLL,Entry arguments"
  const std::wstring tail = Tail(line);
  const size_t comma = tail.find(L',');
  const size_t space = tail.find(L' ', comma == std::wstring::npos ? 0 : comma);
  if (comma == std::wstring::npos) {
    Log(L"failed: no DLL,Entry");
    return 1;
  }
  const std::wstring dll = tail.substr(0, comma);
  const std::wstring entry = tail.substr(comma + 1, space == std::wstring::npos ? std::wstring::npos : space - comma - 1);
  const std::wstring arguments = space == std::wstring::npos ? L"" : tail.substr(space + 1);
  const HMODULE module = ::LoadLibraryW(dll.c_str());
  const std::string entryName(entry.begin(), entry.end());
  const auto call = module == nullptr ? nullptr
                                      : reinterpret_cast<EntryW>(
                                            reinterpret_cast<void*>(::GetProcAddress(module, (entryName + "W").c_str())));
  if (call == nullptr) {
    Log(L"failed: cannot load " + dll + L"," + entry + L"W");
    return 1;
  }
  call(nullptr, module, arguments.c_str(), show);
  Log(L"done");
  return 0;
}
