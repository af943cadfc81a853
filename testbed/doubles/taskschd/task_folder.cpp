// ITaskFolder (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-itaskfolder):
// a folder of the store, where tasks are registered.

#include <optional>
#include <utility>

#include "core/task_definition.h"
#include "doubles/taskschd/shared.h"
#include "doubles/taskschd/task_definition.h"
#include "doubles/taskschd/task_store.h"

namespace kqdtb::taskschd {
namespace {

class Folder final : public Object<ITaskFolder> {
 public:
  std::wstring path = L"\\";

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* out) override {
    return ToBstr(path == L"\\" ? path : path.substr(path.rfind(L'\\') + 1), out);
  }
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* out) override { return ToBstr(path, out); }

  HRESULT STDMETHODCALLTYPE GetFolder(BSTR relative, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::GetFolder"); FAILED(hr)) return hr;
    return Open(path, relative, out);
  }

  HRESULT STDMETHODCALLTYPE CreateFolder(BSTR name, VARIANT sddl, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::CreateFolder"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto folder = store::ResolveFolder(path, Wide(FromBstr(name)));
    if (!folder || *folder == path || Classify(sddl) == Arg::kInvalid) return E_INVALIDARG;
    if (HRESULT hr = store::CreateFolder(*folder); FAILED(hr)) return hr;
    auto created = Make<Folder>();
    created->path = *folder;
    *out = created.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTask(BSTR taskPath, IRegisteredTask** out) override {
    if (HRESULT hr = Enter(L"ITaskFolder::GetTask"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto task = store::ResolveTask(path, Wide(FromBstr(taskPath)));
    if (!task) return E_INVALIDARG;
    auto xml = store::ReadTask(task->first, task->second);
    if (!xml) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return HandRegistered(task->first, task->second, std::move(*xml), out);
  }

  HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG) override {
    if (HRESULT hr = Enter(L"ITaskFolder::DeleteTask"); FAILED(hr)) return hr;
    const auto task = store::ResolveTask(path, Wide(FromBstr(name)));
    if (!task) return E_INVALIDARG;
    return store::DeleteTask(task->first, task->second);
  }

  // As Task Scheduler answers: a name or path relative to this folder (or absolute);
  // the root, or no subfolder named, is refused with E_ACCESSDENIED, a folder that
  // holds tasks or folders with ERROR_DIR_NOT_EMPTY, a missing one with
  // ERROR_FILE_NOT_FOUND. Every call is recorded for every process of the prefix.
  HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR name, LONG) override {
    const std::wstring given = Wide(FromBstr(name));
    const auto folder = store::ResolveFolder(path, given);
    HRESULT hr = Enter(L"ITaskFolder::DeleteFolder");
    if (SUCCEEDED(hr)) {
      if (!folder) {
        hr = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
      } else if (*folder == L"\\" || *folder == path) {
        hr = E_ACCESSDENIED;
      } else {
        hr = store::DeleteFolder(*folder);
      }
    }
    store::RecordFolderDeletion(folder.value_or(given), hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR taskPath, ITaskDefinition* definition, LONG flags,
                                                   VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType,
                                                   VARIANT sddl, IRegisteredTask** out) override {
    const std::wstring given = Wide(FromBstr(taskPath));
    const auto task = store::ResolveTask(path, given);
    const HRESULT hr = Register(task, definition, flags, user, password, logonType, sddl, out);
    store::RecordRegistration(task ? store::JoinFolder(task->first, task->second) : given, hr);
    return hr;
  }

  HRESULT Register(const std::optional<std::pair<std::wstring, std::wstring>>& task, ITaskDefinition* definition,
                   LONG flags, VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl,
                   IRegisteredTask** out) {
    if (HRESULT hr = Enter(L"ITaskFolder::RegisterTaskDefinition"); FAILED(hr)) return hr;
    if (out != nullptr) *out = nullptr;
    if (!task || definition == nullptr) return E_INVALIDARG;
    ComPtr<Definition> own;
    if (FAILED(definition->QueryInterface(kDefinitionIdentity, own.put_void()))) return E_INVALIDARG;

    const Arg userArg = Classify(user), passwordArg = Classify(password), sddlArg = Classify(sddl);
    if (userArg == Arg::kInvalid || passwordArg == Arg::kInvalid || sddlArg == Arg::kInvalid) return E_INVALIDARG;
    const bool passwordGiven = passwordArg == Arg::kString && ::SysStringLen(V_BSTR(&password)) != 0;
    // A service account has no password; passwords are never kept.
    if (passwordGiven && logonType == TASK_LOGON_SERVICE_ACCOUNT) return E_INVALIDARG;

    kqd::TaskRecord record = own->Snapshot();
    if (userArg == Arg::kString && ::SysStringLen(V_BSTR(&user)) != 0) record.userId = FromBstr(V_BSTR(&user));
    record.logonType = logonType;
    if (sddlArg == Arg::kString) record.securityDescriptor = FromBstr(V_BSTR(&sddl));

    std::wstring xml = Wide(kqd::RenderTaskXml(record));
    if ((flags & TASK_VALIDATE_ONLY) == 0) {
      if (HRESULT hr = store::WriteTask(task->first, task->second, xml, flags); FAILED(hr)) return hr;
    }
    return HandRegistered(task->first, task->second, std::move(xml), out);
  }

  HRESULT STDMETHODCALLTYPE GetFolders(LONG, ITaskFolderCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTasks(LONG, IRegisteredTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RegisterTask(BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT,
                                         IRegisteredTask**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSecurityDescriptor(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetSecurityDescriptor(BSTR, LONG) override { return E_NOTIMPL; }

  // A missing folder answers as Task Scheduler does: the file is not found.
  static HRESULT Open(const std::wstring& base, BSTR relative, ITaskFolder** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const auto folder = store::ResolveFolder(base, Wide(FromBstr(relative)));
    if (!folder) return E_INVALIDARG;
    if (!store::FolderExists(*folder)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    auto opened = Make<Folder>();
    opened->path = *folder;
    *out = opened.Detach();
    return S_OK;
  }
};

}  // namespace

HRESULT OpenFolder(const std::wstring& base, BSTR relative, ITaskFolder** out) { return Folder::Open(base, relative, out); }

}  // namespace kqdtb::taskschd
