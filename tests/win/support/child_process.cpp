#include "support/child_process.h"

#include <gtest/gtest.h>

namespace kqdtest {
namespace {

std::wstring BesideThisExe(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1) + name;
}

}  // namespace

kqd::win::UniqueHandleNull StartKqdtb(const std::wstring& arguments) {
  const std::wstring exe = BesideThisExe(L"kqdtb.exe");
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
    ADD_FAILURE() << "cannot start kqdtb.exe: " << ::GetLastError();
    return {};
  }
  const kqd::win::UniqueHandleNull thread(info.hThread);
  return kqd::win::UniqueHandleNull(info.hProcess);
}

}  // namespace kqdtest
