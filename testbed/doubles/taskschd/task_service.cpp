// ITaskService (learn.microsoft.com/en-us/windows/win32/api/taskschd/nn-taskschd-itaskservice):
// what CLSID_TaskScheduler makes, with its class object and the switch that makes
// Task Scheduler unreachable.

#include <atomic>

#include "doubles/taskschd/shared.h"
#include "doubles/taskschd/task_definition.h"
#include "doubles/taskschd/task_store.h"
#include "doubles/taskschd/taskschd_double.h"
#include "win/unique_handle.h"

namespace kqdtb::taskschd {
namespace {

class Service final : public Object<ITaskService> {
 public:
  HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
    if (HRESULT hr = Enter(L"ITaskService::Connect"); FAILED(hr)) return hr;
    if (Unreachable() == kNoConnect) return kNoConnectResult;
    for (const VARIANT* v : {&server, &user, &domain, &password}) {
      if (Classify(*v) == Arg::kInvalid) return E_INVALIDARG;
    }
    if (HRESULT hr = store::EnsureRoot(); FAILED(hr)) return hr;
    connected_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* out) override {
    if (out == nullptr) return E_POINTER;
    *out = connected_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** out) override {
    if (HRESULT hr = Enter(L"ITaskService::GetFolder"); FAILED(hr)) return hr;
    if (!connected_) return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    return OpenFolder(L"\\", path, out);
  }
  HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** out) override {
    if (HRESULT hr = Enter(L"ITaskService::NewTask"); FAILED(hr)) return hr;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!connected_) return HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED);
    if (flags != 0) return E_INVALIDARG;
    *out = Make<Definition>().Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRunningTasks(LONG, IRunningTaskCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD*) override { return E_NOTIMPL; }

 private:
  std::atomic<bool> connected_{false};
};

class Factory final : public com::ClassFactory<Tag> {
 protected:
  HRESULT Create(REFIID iid, void** out) override {
    if (HRESULT hr = Enter(L"TaskScheduler::CreateInstance"); FAILED(hr)) return hr;
    if (Unreachable() == kNoClass) return kNoClassResult;
    return Make<Service>()->QueryInterface(iid, out);
  }
};

Factory g_factory;

}  // namespace

DWORD Unreachable() {
  kqd::win::UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    return kReachable;
  }
  DWORD value = 0, type = 0, size = sizeof(value);
  if (::RegQueryValueExW(key.get(), kUnreachableValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return kReachable;
  }
  return value;
}

bool SetUnreachable(DWORD mode) {
  kqd::win::UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (mode == kReachable) {
    const LSTATUS status = ::RegDeleteValueW(key.get(), kUnreachableValue);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
  return ::RegSetValueExW(key.get(), kUnreachableValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode),
                          sizeof(mode)) == ERROR_SUCCESS;
}

IClassFactory* ClassFactory() { return &g_factory; }

}  // namespace kqdtb::taskschd
