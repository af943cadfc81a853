#include "setup/self_removal.h"

#include <aclapi.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/owner_list.h"
#include "core/removal_paths.h"
#include "setup/task_scheduler.h"
#include "win/com_error.h"
#include "win/com_init.h"
#include "win/output.h"
#include "win/unique_handle.h"
#include "win/wide.h"

namespace kqd {
namespace {

using win::UniqueFile;
using win::UniqueHandleNull;
using win::UniqueHkey;
using win::UniqueLocal;
using win::UniqueScHandle;

constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\KQD";
constexpr DWORD kStopPollMs = 1000;

std::span<const uint8_t> AsBytes(const void* data, DWORD size) {
  return {static_cast<const uint8_t*>(data), size};
}

// The folder as SHGetFolderPathW gives it, created when missing.
std::optional<std::u16string> FolderPath(int csidl) {
  wchar_t path[kPathCapacity] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return std::nullopt;
  }
  path[kPathCapacity - 1] = L'\0';
  return std::u16string(win::AsU16(path));
}

// The owning INF names to test, or empty when the key or "Owners" cannot be read.
std::optional<std::vector<std::u16string>> ReadOwnerTestList() {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_QUERY_VALUE | KEY_NOTIFY, key.put()) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD size = 0;
  if (::RegQueryValueExW(key.get(), L"Owners", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::vector<wchar_t> owners(static_cast<size_t>(size) + 1, L'\0');
  DWORD read = size;
  if (::RegQueryValueExW(key.get(), L"Owners", nullptr, nullptr, reinterpret_cast<BYTE*>(owners.data()), &read) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t displayName[kPathCapacity] = {};
  DWORD displaySize = sizeof(displayName);
  const bool displayRead = ::RegQueryValueExW(key.get(), L"DisplayName", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(displayName), &displaySize) == ERROR_SUCCESS;
  const auto ownerBytes = AsBytes(owners.data(), read);
  if (!displayRead) return SelectOwnerTestList(ownerBytes, std::nullopt);
  return SelectOwnerTestList(ownerBytes, AsBytes(displayName, displaySize));
}

bool CreateInfFile(PCWSTR path, SECURITY_ATTRIBUTES* attributes, UniqueFile& file) {
  file.reset(::CreateFileW(path, GENERIC_WRITE, 0, attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid();
}

void StartUninstall(const std::u16string& program, std::u16string commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (::CreateProcessW(win::AsWide(program.c_str()), reinterpret_cast<wchar_t*>(commandLine.data()), nullptr,
                       nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process)) {
    // Not waited for: the uninstall runs on after this process has ended.
    UniqueHandleNull thread(process.hThread);
    UniqueHandleNull child(process.hProcess);
  }
}

// Steps after COM security: the task, then the INF and its uninstall.
void RemoveTaskAndStartUninstall() {
  CTaskScheduler scheduler;
  scheduler.DeleteUninstallTask();

  const auto systemDirectory = FolderPath(CSIDL_SYSTEM);
  if (!systemDirectory) return;
  const auto infPath = SystemFilePath(*systemDirectory, kEmbeddedInfName);
  if (!infPath) return;
  const auto programDirectory = FolderPath(CSIDL_SYSTEM);
  if (!programDirectory) return;
  const auto program = SystemFilePath(*programDirectory, kUninstallProgramName);
  if (!program) return;
  auto commandLine = UninstallCommandLine(*program, *infPath);
  if (!commandLine) return;
  if (WriteEmbeddedInf(win::AsWide(infPath->c_str()))) StartUninstall(*program, std::move(*commandLine));
}

}  // namespace

bool IsDeviceStillInstalled() {
  // Out of memory, the answer cannot be established: the package counts as present,
  // and the process still ends as every path does.
  try {
    const auto names = ReadOwnerTestList();
    if (!names) return true;
    std::u16string list;
    for (const auto& name : *names) list += name + u'\0';
    list += u'\0';
    return IsAnyOwnerInfPresent(win::AsWide(list.c_str()));
  } catch (const std::bad_alloc&) {
    return true;
  }
}

bool IsAnyOwnerInfPresent(PCWSTR names) {
  for (PCWSTR name = names; *name != L'\0'; name += std::wcslen(name) + 1) {
    const auto windowsDirectory = FolderPath(CSIDL_WINDOWS);
    if (!windowsDirectory) return true;
    // A path that does not fit cannot be tested: count the package as present.
    const auto path = OwnerInfPath(*windowsDirectory, win::AsU16(name));
    if (!path) return true;
    if (::PathFileExistsW(win::AsWide(path->c_str()))) return true;
  }
  return false;
}

// The name goes out with %ls: MinGW's C++ stdio reads %s in a wide format as a
// narrow string, while %ls means a wide one everywhere, MSVC included.
void StopAndDeleteService(PCWSTR serviceName) {
  UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    win::ConsoleOut(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
    return;
  }
  UniqueScHandle service(::OpenServiceW(manager.get(), serviceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) {
    win::ConsoleOut(L"OpenService failed w/err 0x%08lx\n", ::GetLastError());
    return;
  }
  SERVICE_STATUS status = {};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    win::ConsoleOut(L"Stopping %ls.", serviceName);
    DWORD state = status.dwCurrentState;
    for (bool first = true;; first = false) {
      if (!first) win::ConsoleOut(L".");
      ::Sleep(kStopPollMs);
      SERVICE_STATUS now = {};
      if (!::QueryServiceStatus(service.get(), &now)) break;
      state = now.dwCurrentState;
      if (state != SERVICE_STOP_PENDING) break;
    }
    if (state == SERVICE_STOPPED) {
      win::ConsoleOut(L"\n%ls is stopped.\n", serviceName);
    } else {
      win::ConsoleOut(L"\n%ls failed to stop.\n", serviceName);
    }
  }
  if (::DeleteService(service.get())) {
    win::ConsoleOut(L"%ls is removed.\n", serviceName);
  } else {
    win::ConsoleOut(L"DeleteService failed w/err 0x%08lx\n", ::GetLastError());
  }
}

void FinishSelfRemoval() {
  if (!win::InitializeComWithRetry()) return;
  if (SUCCEEDED(win::InitializeComSecurity(RPC_C_AUTHN_LEVEL_PKT))) {
    try {
      RemoveTaskAndStartUninstall();
    } catch (const ComError&) {
      // Out of memory inside the task deletion: nothing after it may run.
    }
  }
  ::CoUninitialize();
}

bool WriteEmbeddedInf(PCWSTR path) {
  const HMODULE self = ::GetModuleHandleW(nullptr);
  const HRSRC resource = ::FindResourceW(self, MAKEINTRESOURCEW(kEmbeddedInfResourceId), RT_RCDATA);
  if (resource == nullptr) return false;
  const HGLOBAL loaded = ::LoadResource(self, resource);
  if (loaded == nullptr) return false;
  const void* data = ::LockResource(loaded);
  const DWORD size = ::SizeofResource(self, resource);
  if (data == nullptr || size == 0) return false;

  UniqueLocal sid(::LocalAlloc(LMEM_FIXED, SECURITY_MAX_SID_SIZE));
  UniqueLocal descriptor(::LocalAlloc(LMEM_ZEROINIT, SECURITY_MAX_SID_SIZE));
  if (!sid || !descriptor) return false;
  DWORD sidSize = SECURITY_MAX_SID_SIZE;
  if (!::CreateWellKnownSid(WinLocalSystemSid, nullptr, sid.get(), &sidSize)) return false;

  EXPLICIT_ACCESS_W access = {};
  access.grfAccessPermissions = STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.pMultipleTrustee = nullptr;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(sid.get());
  PACL newAcl = nullptr;
  if (::SetEntriesInAclW(1, &access, nullptr, &newAcl) != ERROR_SUCCESS) return false;
  UniqueLocal acl(newAcl);

  if (!::InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(descriptor.get(), TRUE, newAcl, FALSE)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};

  UniqueFile file;
  if (!CreateInfFile(path, &attributes, file)) {
    if (::GetLastError() != ERROR_FILE_EXISTS || !::DeleteFileW(path) || !CreateInfFile(path, &attributes, file)) {
      return false;
    }
  }
  DWORD written = 0;
  return ::WriteFile(file.get(), data, size, &written, nullptr) != FALSE;
}

}  // namespace kqd
