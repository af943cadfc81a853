#include "doubles/taskschd/task_store.h"

#include <taskschd.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <vector>

#include "doubles/taskschd/taskschd_double.h"
#include "win/unique_handle.h"

namespace kqdtb::taskschd {
namespace store {
namespace {

using kqd::win::UniqueFile;

constexpr wchar_t kTop[] = L"C:\\kqdtb";
constexpr wchar_t kRoot[] = L"C:\\kqdtb\\tasks";
constexpr wchar_t kTaskSuffix[] = L".xml";
constexpr wchar_t kTempSuffix[] = L".xml.tmp";
constexpr wchar_t kFolderDeletions[] = L"C:\\kqdtb\\tasks-folder-deletions.txt";
constexpr wchar_t kRegistrations[] = L"C:\\kqdtb\\tasks-registrations.txt";

HRESULT LastError() { return HRESULT_FROM_WIN32(::GetLastError()); }

// Names the file system would alter or refuse are refused here, so every name
// maps to exactly one file.
bool ValidName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L' ' || name.back() == L'.') return false;
  return std::none_of(name.begin(), name.end(), [](wchar_t c) {
    return c < 0x20 || std::wstring_view(L"<>:\"/|?*").find(c) != std::wstring_view::npos;
  });
}

std::vector<std::wstring> Split(const std::wstring& path) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find(L'\\', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::wstring DirectoryOf(const std::wstring& folder) {
  return folder == L"\\" ? std::wstring(kRoot) : kRoot + folder;
}

std::wstring FileOf(const std::wstring& folder, const std::wstring& name) {
  return DirectoryOf(folder) + L"\\" + name + kTaskSuffix;
}

DWORD Attributes(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }
bool IsDirectory(const std::wstring& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool IsFile(const std::wstring& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
  const std::wstring_view s(suffix);
  return text.size() > s.size() && text.compare(text.size() - s.size(), s.size(), s) == 0;
}

// Calls `visit(name, isDirectory)` for each entry of `directory`.
void ForEachEntry(const std::wstring& directory, const std::function<void(const std::wstring&, bool)>& visit) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    visit(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

void Walk(const std::wstring& folder, std::vector<std::wstring>* tasks, std::vector<std::wstring>* folders) {
  ForEachEntry(DirectoryOf(folder), [&](const std::wstring& name, bool isDirectory) {
    if (isDirectory) {
      const std::wstring sub = JoinFolder(folder, name);
      if (folders != nullptr) folders->push_back(sub);
      Walk(sub, tasks, folders);
    } else if (tasks != nullptr && EndsWith(name, kTaskSuffix)) {
      tasks->push_back(JoinFolder(folder, name.substr(0, name.size() - std::wstring_view(kTaskSuffix).size())));
    }
  });
}

bool RemoveContents(const std::wstring& directory) {
  bool ok = true;
  ForEachEntry(directory, [&](const std::wstring& name, bool isDirectory) {
    const std::wstring path = directory + L"\\" + name;
    if (isDirectory) {
      ok = RemoveContents(path) && ::RemoveDirectoryW(path.c_str()) && ok;
    } else {
      ok = ::DeleteFileW(path.c_str()) && ok;
    }
  });
  return ok;
}

bool WriteFileWhole(const std::wstring& path, const std::wstring& text) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::wstring content = L"\xFEFF" + text;
  const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
  DWORD written = 0;
  return ::WriteFile(file.get(), content.data(), size, &written, nullptr) && written == size;
}

}  // namespace

std::optional<std::wstring> ResolveFolder(const std::wstring& base, const std::wstring& path) {
  std::wstring folder = !path.empty() && path.front() == L'\\' ? L"\\" : base;
  for (const auto& part : Split(path)) {
    if (part.empty()) continue;  // leading, doubled or trailing separators
    if (!ValidName(part)) return std::nullopt;
    folder = JoinFolder(folder, part);
  }
  return folder;
}

std::optional<std::pair<std::wstring, std::wstring>> ResolveTask(const std::wstring& base, const std::wstring& path) {
  const size_t split = path.rfind(L'\\');
  const std::wstring name = split == std::wstring::npos ? path : path.substr(split + 1);
  if (!ValidName(name)) return std::nullopt;
  auto folder = ResolveFolder(base, split == std::wstring::npos ? std::wstring() : path.substr(0, split + 1));
  if (!folder) return std::nullopt;
  return std::make_pair(*folder, name);
}

std::wstring JoinFolder(const std::wstring& folder, const std::wstring& name) {
  return folder == L"\\" ? L"\\" + name : folder + L"\\" + name;
}

HRESULT EnsureRoot() {
  for (const wchar_t* dir : {kTop, kRoot}) {
    if (!::CreateDirectoryW(dir, nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return LastError();
  }
  return S_OK;
}

bool FolderExists(const std::wstring& folder) { return IsDirectory(DirectoryOf(folder)); }

HRESULT CreateFolder(const std::wstring& folder) {
  return ::CreateDirectoryW(DirectoryOf(folder).c_str(), nullptr) ? S_OK : LastError();
}

HRESULT WriteTask(const std::wstring& folder, const std::wstring& name, const std::wstring& xml, LONG flags) {
  if (!FolderExists(folder)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  const std::wstring path = FileOf(folder, name);
  const bool exists = IsFile(path);
  if (exists && (flags & TASK_UPDATE) == 0) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  if (!exists && (flags & TASK_CREATE) == 0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  // Written aside and moved over, so a reader never sees half a task.
  const std::wstring temp = DirectoryOf(folder) + L"\\" + name + kTempSuffix;
  if (!WriteFileWhole(temp, xml)) {
    const HRESULT hr = LastError();
    ::DeleteFileW(temp.c_str());
    return hr;
  }
  if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const HRESULT hr = LastError();
    ::DeleteFileW(temp.c_str());
    return hr;
  }
  return S_OK;
}

HRESULT DeleteTask(const std::wstring& folder, const std::wstring& name) {
  const std::wstring path = FileOf(folder, name);
  if (!IsFile(path)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  return ::DeleteFileW(path.c_str()) ? S_OK : LastError();
}

HRESULT DeleteFolder(const std::wstring& folder) {
  if (!FolderExists(folder)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  return ::RemoveDirectoryW(DirectoryOf(folder).c_str()) ? S_OK : LastError();
}

// One whole line per attempt, appended with one write, so processes do not interleave.
void AppendAttempt(const wchar_t* record, const std::wstring& subject, HRESULT result) {
  if (FAILED(EnsureRoot())) return;
  std::wstring line = subject;
  std::replace_if(line.begin(), line.end(), [](wchar_t c) { return c < 0x20; }, L'?');
  wchar_t code[16];
  std::swprintf(code, 16, L"\t0x%08lx\n", static_cast<unsigned long>(result));
  line += code;
  UniqueFile file(::CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

void RecordFolderDeletion(const std::wstring& folder, HRESULT result) { AppendAttempt(kFolderDeletions, folder, result); }
void RecordRegistration(const std::wstring& task, HRESULT result) { AppendAttempt(kRegistrations, task, result); }

std::vector<Attempt> ReadAttempts(const wchar_t* record) {
  std::vector<Attempt> attempts;
  UniqueFile file(::CreateFileW(record, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return attempts;
  std::wstring text;
  wchar_t chunk[1024];
  DWORD read = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read >= sizeof(wchar_t)) {
    text.append(chunk, read / sizeof(wchar_t));
  }
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(L'\n', start), text.size());
    const std::wstring line = text.substr(start, end - start);
    start = end + 1;
    const size_t tab = line.rfind(L'\t');
    if (tab == std::wstring::npos) continue;
    const auto code = static_cast<HRESULT>(std::wcstoul(line.c_str() + tab + 1, nullptr, 16));
    attempts.push_back({line.substr(0, tab), code});
  }
  return attempts;
}

std::optional<std::wstring> ReadTask(const std::wstring& folder, const std::wstring& name) {
  UniqueFile file(::CreateFileW(FileOf(folder, name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart % 2 != 0 || size.QuadPart < 2 ||
      size.QuadPart > 16 * 1024 * 1024) {
    return std::nullopt;
  }
  std::wstring content(static_cast<size_t>(size.QuadPart / 2), L'\0');
  DWORD read = 0;
  if (!::ReadFile(file.get(), content.data(), static_cast<DWORD>(size.QuadPart), &read, nullptr) ||
      static_cast<LONGLONG>(read) != size.QuadPart || content.front() != L'\xFEFF') {
    return std::nullopt;
  }
  return content.substr(1);
}

}  // namespace store

std::wstring StoreRoot() { return store::kRoot; }

std::vector<std::wstring> ListTasks() {
  std::vector<std::wstring> tasks;
  store::Walk(L"\\", &tasks, nullptr);
  std::sort(tasks.begin(), tasks.end());
  return tasks;
}

std::vector<std::wstring> ListFolders() {
  std::vector<std::wstring> folders;
  store::Walk(L"\\", nullptr, &folders);
  std::sort(folders.begin(), folders.end());
  return folders;
}

std::optional<std::wstring> ReadTaskXml(const std::wstring& folder, const std::wstring& name) {
  const auto resolved = store::ResolveFolder(L"\\", folder);
  if (!resolved || !store::ValidName(name)) return std::nullopt;
  return store::ReadTask(*resolved, name);
}

bool FolderExists(const std::wstring& folder) {
  const auto resolved = store::ResolveFolder(L"\\", folder);
  return resolved && store::FolderExists(*resolved);
}

bool PutTask(const std::wstring& folder, const std::wstring& name, const std::wstring& xml) {
  const auto resolved = store::ResolveFolder(L"\\", folder);
  if (!resolved || !store::ValidName(name) || FAILED(store::EnsureRoot())) return false;
  std::wstring path = L"\\";
  for (size_t at = 1; at <= resolved->size(); ++at) {
    if (at == resolved->size() || (*resolved)[at] == L'\\') {
      path = resolved->substr(0, at);
      if (path != L"\\" && !store::FolderExists(path) && FAILED(store::CreateFolder(path))) return false;
    }
  }
  return SUCCEEDED(store::WriteTask(*resolved, name, xml, TASK_CREATE_OR_UPDATE));
}

bool ClearStore() {
  if (FAILED(store::EnsureRoot())) return false;
  bool recordsGone = true;
  for (const wchar_t* record : {store::kFolderDeletions, store::kRegistrations}) {
    recordsGone = (::DeleteFileW(record) || ::GetLastError() == ERROR_FILE_NOT_FOUND) && recordsGone;
  }
  return store::RemoveContents(store::kRoot) && recordsGone;
}

std::vector<Attempt> FolderDeletions() { return store::ReadAttempts(store::kFolderDeletions); }
std::vector<Attempt> Registrations() { return store::ReadAttempts(store::kRegistrations); }

}  // namespace kqdtb::taskschd
