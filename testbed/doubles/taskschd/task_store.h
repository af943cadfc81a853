#pragma once
// The files behind the double's folders and tasks. Folder paths are canonical:
// "\" for the root, "\A\B" below it.

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "doubles/taskschd/taskschd_double.h"

namespace kqdtb::taskschd::store {

// Resolves `path` (absolute with a leading "\", else relative to `base`).
// Empty when a segment is not a valid name.
std::optional<std::wstring> ResolveFolder(const std::wstring& base, const std::wstring& path);
// As ResolveFolder, split into (folder, task name); empty when no name is left.
std::optional<std::pair<std::wstring, std::wstring>> ResolveTask(const std::wstring& base,
                                                                 const std::wstring& path);
std::wstring JoinFolder(const std::wstring& folder, const std::wstring& name);

HRESULT EnsureRoot();
bool FolderExists(const std::wstring& folder);
HRESULT CreateFolder(const std::wstring& folder);  // parent must exist; fails when present
// `flags` as ITaskFolder::RegisterTaskDefinition: TASK_CREATE and/or TASK_UPDATE.
HRESULT WriteTask(const std::wstring& folder, const std::wstring& name, const std::wstring& xml, LONG flags);
HRESULT DeleteTask(const std::wstring& folder, const std::wstring& name);
// Removes an empty folder; one that holds tasks or folders is refused (ERROR_DIR_NOT_EMPTY).
HRESULT DeleteFolder(const std::wstring& folder);
// Append one attempt to the record behind FolderDeletions() or Registrations().
void RecordFolderDeletion(const std::wstring& folder, HRESULT result);
void RecordRegistration(const std::wstring& task, HRESULT result);
std::vector<Attempt> ReadAttempts(const wchar_t* record);
std::optional<std::wstring> ReadTask(const std::wstring& folder, const std::wstring& name);

}  // namespace kqdtb::taskschd::store
