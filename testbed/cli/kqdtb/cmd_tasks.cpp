// tasks-*: what the Task Scheduler double holds, and its reachability switch.

#include <cwchar>
#include <string>
#include <vector>

#include "command.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/wide.h"

namespace kqdtb {
namespace {

namespace ts = taskschd;

int RunTasksList(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe tasks-list\n");
    return 2;
  }
  for (const auto& task : ts::ListTasks()) Out(L"%ls\n", task.c_str());
  return 0;
}

int RunTasksFolders(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe tasks-folders\n");
    return 2;
  }
  for (const auto& folder : ts::ListFolders()) Out(L"%ls\n", folder.c_str());
  return 0;
}

// "\\Folder[\\Name] 0xHRESULT" a line, oldest first.
int PrintAttempts(int argc, const wchar_t* usage, std::vector<ts::Attempt> (*read)()) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe %ls\n", usage);
    return 2;
  }
  for (const auto& attempt : read()) {
    Out(L"%ls 0x%08lx\n", attempt.subject.c_str(), static_cast<unsigned long>(attempt.result));
  }
  return 0;
}
int RunTasksRegistrations(int argc, wchar_t**) { return PrintAttempts(argc, L"tasks-registrations", &ts::Registrations); }
int RunTasksFolderDeletions(int argc, wchar_t**) {
  return PrintAttempts(argc, L"tasks-folder-deletions", &ts::FolderDeletions);
}

// The document goes out as UTF-8 bytes, whatever the console's code page.
int RunTasksXml(int argc, wchar_t** argv) {
  if (argc != 3) {
    Err(L"usage: kqdtb.exe tasks-xml FOLDER NAME\n");
    return 2;
  }
  const auto xml = ts::ReadTaskXml(argv[1], argv[2]);
  if (!xml) {
    Err(L"kqdtb tasks-xml: no task %ls in folder %ls\n", argv[2], argv[1]);
    return 1;
  }
  const std::string bytes = kqd::win::Utf8(*xml);
  DWORD written = 0;
  return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) && written == bytes.size()
             ? 0
             : 1;
}

int RunTasksUnreachable(int argc, wchar_t** argv) {
  if (argc != 2 || std::wcslen(argv[1]) != 1 || argv[1][0] < L'0' || argv[1][0] > L'2') {
    Err(L"usage: kqdtb.exe tasks-unreachable 0|1|2\n");
    return 2;
  }
  return ts::SetUnreachable(static_cast<DWORD>(argv[1][0] - L'0')) ? 0 : 1;
}

int RunTasksClear(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe tasks-clear\n");
    return 2;
  }
  return ts::ClearStore() ? 0 : 1;
}

TestbedCommand tasksList{L"tasks-list", L"(print every task the Task Scheduler double holds, \\Folder\\Name)",
                         &RunTasksList};
TestbedCommand tasksFolders{L"tasks-folders", L"(print every folder of the double but the root, \\Folder)",
                            &RunTasksFolders};
TestbedCommand tasksFolderDeletions{
    L"tasks-folder-deletions",
    L"(print every ITaskFolder::DeleteFolder call since tasks-clear: \\Folder 0xHRESULT)", &RunTasksFolderDeletions};
TestbedCommand tasksRegistrations{
    L"tasks-registrations",
    L"(print every ITaskFolder::RegisterTaskDefinition call since tasks-clear: \\Folder\\Name 0xHRESULT)",
    &RunTasksRegistrations};
TestbedCommand tasksXml{L"tasks-xml", L"FOLDER NAME (print a task's XML as the double exported it)", &RunTasksXml};
TestbedCommand tasksUnreachable{
    L"tasks-unreachable",
    L"0|1|2 (Task Scheduler answers | CoCreateInstance fails REGDB_E_CLASSNOTREG | Connect fails 0x80070426)",
    &RunTasksUnreachable};
TestbedCommand tasksClear{L"tasks-clear",
                          L"(remove every task and folder of the double, and its records of calls)",
                          &RunTasksClear};

}  // namespace
}  // namespace kqdtb
