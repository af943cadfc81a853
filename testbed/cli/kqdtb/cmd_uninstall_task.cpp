// run-uninstall-task: what Task Scheduler does when the uninstall task's trigger
// fires: start its Exec action as recorded by the Task Scheduler double.
// file-dacl: the DACL of a file, for checking what self-removal wrote.

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <optional>
#include <string>

#include "command.h"
#include "core/task_definition.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

using kqd::win::UniqueHandleNull;
using kqd::win::UniqueLocal;

constexpr DWORD kTaskTimeoutMs = 180 * 1000;

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// Undoes kqd::EscapeXml: the five entities and hexadecimal character references.
std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'&') {
      out += text[i];
      continue;
    }
    const size_t end = text.find(L';', i);
    if (end == std::wstring::npos) return out + text.substr(i);
    const std::wstring entity = text.substr(i + 1, end - i - 1);
    if (entity == L"amp") out += L'&';
    else if (entity == L"lt") out += L'<';
    else if (entity == L"gt") out += L'>';
    else if (entity == L"quot") out += L'"';
    else if (entity == L"apos") out += L'\'';
    else if (entity.size() > 2 && entity[0] == L'#' && entity[1] == L'x') {
      out += static_cast<wchar_t>(std::wcstoul(entity.c_str() + 2, nullptr, 16));
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

// The text of the first <name> element after `from`, or empty.
std::optional<std::wstring> Element(const std::wstring& xml, const std::wstring& name, size_t from,
                                    size_t until) {
  const std::wstring open = L"<" + name + L">";
  const size_t start = xml.find(open, from);
  if (start == std::wstring::npos || start >= until) return std::nullopt;
  const size_t end = xml.find(L"</" + name + L">", start);
  if (end == std::wstring::npos || end > until) return std::nullopt;
  return Unescape(xml.substr(start + open.size(), end - start - open.size()));
}

int RunUninstallTask(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe run-uninstall-task\n");
    return 2;
  }
  namespace task = kqd::uninstall_task;
  const auto xml = taskschd::ReadTaskXml(W(task::kFolderName), W(task::kTaskName));
  if (!xml) {
    Err(L"kqdtb run-uninstall-task: no task \\%ls\\%ls is registered\n", W(task::kFolderName), W(task::kTaskName));
    return 1;
  }
  const size_t exec = xml->find(L"<Exec>");
  const size_t execEnd = xml->find(L"</Exec>", exec);
  const auto command = exec == std::wstring::npos ? std::nullopt : Element(*xml, L"Command", exec, execEnd);
  if (!command || command->empty()) {
    Err(L"kqdtb run-uninstall-task: the task has no Exec action with a command\n");
    return 1;
  }
  const std::wstring arguments = Element(*xml, L"Arguments", exec, execEnd).value_or(L"");

  // Task Scheduler expands the command, quotes it, and starts it in the system
  // directory when no working directory is given.
  wchar_t program[MAX_PATH] = {};
  if (::ExpandEnvironmentStringsW(command->c_str(), program, MAX_PATH) == 0) return 1;
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  wchar_t directory[MAX_PATH] = {};
  ::GetSystemDirectoryW(directory, MAX_PATH);
  const auto workingDirectory = Element(*xml, L"WorkingDirectory", exec, execEnd);

  // The action's console output comes through a pipe of ours. Wine hands a child's
  // unix stdio to the processes it starts in turn (the uninstall among them), so
  // reading to the end of the pipe would wait for those too: read until the
  // action's process has ended, then take what is left.
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 1;
  UniqueHandleNull output(readEnd);
  UniqueHandleNull childOutput(writeEnd);
  ::SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = childOutput.get();
  startup.hStdError = childOutput.get();
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        workingDirectory ? workingDirectory->c_str() : directory, &startup, &info)) {
    Err(L"kqdtb run-uninstall-task: cannot start %ls (error %lu)\n", commandLine.c_str(), ::GetLastError());
    return 1;
  }
  UniqueHandleNull process(info.hProcess);
  UniqueHandleNull thread(info.hThread);
  childOutput.reset();

  const HANDLE stdOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
  auto relay = [&] {
    DWORD available = 0;
    while (::PeekNamedPipe(output.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      char chunk[4096];
      DWORD read = 0;
      if (!::ReadFile(output.get(), chunk, available < sizeof(chunk) ? available : sizeof(chunk), &read, nullptr)) {
        return;
      }
      DWORD written = 0;
      ::WriteFile(stdOut, chunk, read, &written, nullptr);
    }
  };
  const ULONGLONG deadline = ::GetTickCount64() + kTaskTimeoutMs;
  while (::WaitForSingleObject(process.get(), 10) == WAIT_TIMEOUT) {
    relay();
    if (::GetTickCount64() > deadline) {
      Err(L"kqdtb run-uninstall-task: %ls still runs after %lu s\n", commandLine.c_str(), kTaskTimeoutMs / 1000);
      return 1;
    }
  }
  relay();
  DWORD exitCode = 1;
  ::GetExitCodeProcess(process.get(), &exitCode);
  return static_cast<int>(exitCode);
}

// One line per ACE: "<type> 0x<mask> <flags> <sid>", or "no DACL" / "null DACL".
int RunFileDacl(int argc, wchar_t** argv) {
  if (argc != 2) {
    Err(L"usage: kqdtb.exe file-dacl PATH\n");
    return 2;
  }
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    Err(L"kqdtb file-dacl: %ls: error %lu\n", argv[1], rc);
    return 1;
  }
  UniqueLocal owner(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL check = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &check, &defaulted);
  if (!present) {
    Out(L"no DACL\n");
    return 0;
  }
  if (dacl == nullptr) {
    Out(L"null DACL\n");
    return 0;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return 1;
    const wchar_t* type = header->AceType == ACCESS_ALLOWED_ACE_TYPE ? L"ALLOW"
                          : header->AceType == ACCESS_DENIED_ACE_TYPE ? L"DENY"
                                                                       : L"OTHER";
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      Out(L"%ls type=%u\n", type, header->AceType);
      continue;
    }
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);  // same layout for DENY
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(&ace->SidStart, &sid)) return 1;
    UniqueLocal sidOwner(sid);
    Out(L"%ls 0x%08lx flags=0x%02x %ls\n", type, ace->Mask, header->AceFlags, sid);
  }
  return 0;
}

TestbedCommand runUninstallTask{
    L"run-uninstall-task",
    L"(start the registered uninstall task's Exec action as Task Scheduler would, wait, pass on its output)",
    &RunUninstallTask};
TestbedCommand fileDacl{L"file-dacl", L"PATH (print a file's DACL: TYPE 0xMASK flags=0xFF SID per entry)",
                        &RunFileDacl};

}  // namespace
}  // namespace kqdtb
