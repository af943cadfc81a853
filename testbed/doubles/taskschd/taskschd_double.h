#pragma once
// The testbed's Task Scheduler: an in-process COM server registered under
// CLSID_TaskScheduler (kqdtaskschd.dll in a prefix, or CoRegisterClassObject with
// ClassFactory() inside a test). It implements what the service calls and keeps
// the tasks it is given as files, so any process of the prefix can read them:
//   C:\kqdtb\tasks\<folder>\<name>.xml   (UTF-16LE with BOM, the rendering of
//                                          kqd::RenderTaskXml)
// Folders are directories; the root folder "\" is C:\kqdtb\tasks itself. Every
// ITaskFolder::DeleteFolder and RegisterTaskDefinition call is recorded, whatever
// it answered, in
//   C:\kqdtb\tasks-folder-deletions.txt  (UTF-16LE lines "<folder>\t0x<HRESULT>")
//   C:\kqdtb\tasks-registrations.txt     (UTF-16LE lines "<\folder\name>\t0x<HRESULT>")
//
// Switch HKLM\Software\KqdTestbed\TaskScheduler, DWORD "Unreachable", read on
// every call:
//   0 or absent  Task Scheduler answers
//   1            the class factory fails: CoCreateInstance gives REGDB_E_CLASSNOTREG
//   2            ITaskService::Connect fails with HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE)
//
// Methods the service does not call return E_NOTIMPL, except ITaskFolder::DeleteFolder:
// the service must never delete its folder, so the double answers it as Task
// Scheduler does and records it.

#include <windows.h>
#include <unknwn.h>

#include <optional>
#include <string>
#include <vector>

namespace kqdtb::taskschd {

inline constexpr wchar_t kSwitchKey[] = L"Software\\KqdTestbed\\TaskScheduler";
inline constexpr wchar_t kUnreachableValue[] = L"Unreachable";
inline constexpr DWORD kReachable = 0;
inline constexpr DWORD kNoClass = 1;
inline constexpr DWORD kNoConnect = 2;
inline constexpr HRESULT kNoClassResult = REGDB_E_CLASSNOTREG;
inline constexpr HRESULT kNoConnectResult = HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);

DWORD Unreachable();
bool SetUnreachable(DWORD mode);  // 0 deletes the value

// The store, shared by every process of the prefix. Folder arguments may be
// given with or without the leading backslash ("Tavmir", "\Tavmir").
std::wstring StoreRoot();
std::vector<std::wstring> ListTasks();  // "\Folder\Name", sorted
std::vector<std::wstring> ListFolders();  // "\Folder", sorted, root excluded
std::optional<std::wstring> ReadTaskXml(const std::wstring& folder, const std::wstring& name);
bool FolderExists(const std::wstring& folder);
// Arranges state for tests: creates the folder (and parents) and writes the task as is.
bool PutTask(const std::wstring& folder, const std::wstring& name, const std::wstring& xml);
bool ClearStore();  // every task and folder, and the record of folder deletions; the root stays

// A call of any process that the store records, oldest first: what it named and its result.
struct Attempt {
  std::wstring subject;
  HRESULT result;
};
// ITaskFolder::DeleteFolder: the folder named (resolved, or the argument as given
// when it is no valid path).
std::vector<Attempt> FolderDeletions();
// ITaskFolder::RegisterTaskDefinition: the task, \Folder\Name as resolved (or
// the path as given), whether it was stored or refused.
std::vector<Attempt> Registrations();

// This module's instance only (a test that links the double statically).
IClassFactory* ClassFactory();  // a static object; AddRef/Release only count
long LiveObjects();             // COM objects of the double not yet destroyed
bool ServerIdle();             // no live objects and no server locks: the DLL may unload
// "TaskScheduler::CreateInstance", "ITaskService::Connect", ... in call order.
std::vector<std::wstring> CallLog();
void ClearCallLog();
// Makes every later call of `method` (as named in the call log) fail with `hr`.
void FailCall(const std::wstring& method, HRESULT hr);
void ClearFailures();

}  // namespace kqdtb::taskschd
