// IWbemServices (learn.microsoft.com/en-us/windows/win32/api/wbemcli/nn-wbemcli-iwbemservices):
// the ROOT\WMI connection, with IClientSecurity for CoSetProxyBlanket.

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

#include "doubles/wmi/control.h"
#include "doubles/wmi/shared.h"
#include "doubles/wmi/subscription.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

constexpr wchar_t kDataClass[] = L"TAVMIR_GSENSOR_DATA";
constexpr wchar_t kUsageModeMethod[] = L"GetUsageMode";
constexpr const wchar_t* kValueMethods[6] = {L"GetXaxisValue",  L"GetYaxisValue",  L"GetZaxisValue",
                                             L"GetAngle4Value", L"GetAngle5Value", L"GetAngle6Value"};
constexpr DWORD kInstanceLimit = 64;  // more would only cost memory

// Open unless a test closed it.
UniqueHandleNull g_execGate{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
std::atomic<size_t> g_atExecGate{0};
constexpr DWORD kExecGateLimitMs = 30000;

// The registry hold serves other processes (the installed service); it is polled,
// so a release that comes before the wait begins is not missed.
void PassExecGate() {
  if (ReadConfig().holdExec) {
    detail::CountHeldExec();
    for (DWORD waited = 0; waited < kExecGateLimitMs && ReadConfig().holdExec; waited += 20) ::Sleep(20);
  }
  if (!g_execGate || ::WaitForSingleObject(g_execGate.get(), 0) == WAIT_OBJECT_0) return;
  ++g_atExecGate;
  ::WaitForSingleObject(g_execGate.get(), kExecGateLimitMs);
  --g_atExecGate;
}

std::wstring InstancePath(DWORD index) {
  return L"\\\\KQDTB\\ROOT\\WMI:TAVMIR_GSENSOR_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\GSNS_" + std::to_wstring(index) +
         L"\"";
}

// "SELECT * FROM <class>" in any letter case, spaces as separators.
std::optional<std::wstring> SelectedClass(const wchar_t* query) {
  std::wistringstream words(query);
  std::vector<std::wstring> tokens;
  for (std::wstring word; words >> word;) tokens.push_back(word);
  if (tokens.size() != 4 || !SameName(tokens[0].c_str(), L"SELECT") || tokens[1] != L"*" ||
      !SameName(tokens[2].c_str(), L"FROM")) {
    return std::nullopt;
  }
  return tokens[3];
}

class Services final : public Object<IWbemServices>, public IClientSecurity {
 public:
  ~Services() override {
    // Subscriptions end with their connection.
    for (auto& subscription : TakeSubscriptions(nullptr)) subscription->End();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return ComObject::QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ComObject::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ComObject::Release(); }

  // IClientSecurity, so that CoSetProxyBlanket works on the in-process object.
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                         DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                       DWORD impersonation, void*, DWORD capabilities) override {
    return Guarded([&] {
      Log(L"IClientSecurity::SetBlanket " + std::to_wstring(authn) + L" " + std::to_wstring(authz) + L" " +
          Text(principal) + L" " + std::to_wstring(level) + L" " + std::to_wstring(impersonation) + L" " +
          Hex(capabilities));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR className, LONG flags, IWbemContext*,
                                               IEnumWbemClassObject** out) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemServices::CreateInstanceEnum " + Text(className) + L" " + Hex(static_cast<unsigned long>(flags)));
      if (out == nullptr) return WBEM_E_INVALID_PARAMETER;
      *out = nullptr;
      if (className == nullptr) return WBEM_E_INVALID_PARAMETER;
      const Config config = ReadConfig();
      if (!config.provider || !SameName(className, kDataClass)) return WBEM_E_INVALID_CLASS;
      std::vector<ComPtr<IWbemClassObject>> instances;
      for (DWORD i = 0; i < std::min(config.instances, kInstanceLimit); ++i) {
        instances.push_back(MakeObject(kDataClass, {{L"__PATH", InstancePath(i), std::nullopt,
                                                     WBEM_FLAVOR_ORIGIN_SYSTEM}}));
      }
      *out = MakeEnumerator(std::move(instances)).Detach();
      return WBEM_S_NO_ERROR;
    });
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG, IWbemContext*, IWbemClassObject*,
                                       IWbemClassObject** outParams, IWbemCallResult** callResult) override {
    return Guarded([&] {
      Log(L"IWbemServices::ExecMethod " + Text(path) + L" " + Text(method));
      if (outParams != nullptr) *outParams = nullptr;
      if (callResult != nullptr) *callResult = nullptr;
      PassExecGate();
      const uint64_t when = NowMicros();
      const HRESULT hr = RunMethod(path, method, outParams);
      detail::RecordQuery(when, method != nullptr ? method : L"", hr);
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                                       IWbemContext*, IWbemObjectSink* sink) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemServices::ExecNotificationQueryAsync " + Text(language) + L" [" + Text(query) + L"] " +
          Hex(static_cast<unsigned long>(flags)));
      if (language == nullptr || query == nullptr || sink == nullptr) return WBEM_E_INVALID_PARAMETER;
      if (!SameName(language, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
      const auto selected = SelectedClass(query);
      if (!selected) return WBEM_E_INVALID_QUERY;
      if (!ReadConfig().provider || !SameName(selected->c_str(), kEventClass)) return WBEM_E_INVALID_CLASS;
      auto subscription = std::make_shared<Subscription>(ComPtr<IWbemObjectSink>(sink));
      std::lock_guard lock(lock_);
      const HRESULT hr = Subscription::Start(subscription);
      if (SUCCEEDED(hr)) subscriptions_.push_back(std::move(subscription));
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemServices::CancelAsyncCall");
      if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
      auto ended = TakeSubscriptions(sink);
      if (ended.empty()) return WBEM_E_NOT_FOUND;
      for (auto& subscription : ended) subscription->End();
      return WBEM_S_NO_ERROR;
    });
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                      IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 protected:
  HRESULT QueryOwn(REFIID iid, void** out) override {
    if (iid != __uuidof(IClientSecurity)) return E_NOINTERFACE;
    *out = static_cast<IClientSecurity*>(this);
    AddRef();
    return S_OK;
  }

 private:
  HRESULT RunMethod(const BSTR path, const BSTR method, IWbemClassObject** outParams) {
    if (path == nullptr || method == nullptr || outParams == nullptr) return WBEM_E_INVALID_PARAMETER;
    const Config config = ReadConfig();
    if (!config.provider) return WBEM_E_INVALID_CLASS;
    if (FAILED(config.execFailure)) return config.execFailure;
    bool known = false;
    for (DWORD i = 0; i < std::min(config.instances, kInstanceLimit) && !known; ++i) {
      known = SameName(path, InstancePath(i).c_str());
    }
    if (!known) return WBEM_E_NOT_FOUND;
    std::optional<DWORD> data;
    if (SameName(method, kUsageModeMethod)) {
      data = config.mode;
    } else {
      const auto* row = std::find_if(std::begin(kValueMethods), std::end(kValueMethods),
                                     [&](const wchar_t* name) { return SameName(method, name); });
      if (row == std::end(kValueMethods)) return WBEM_E_INVALID_METHOD;
      data = config.values[row - std::begin(kValueMethods)];
    }
    *outParams = MakeObject(L"__PARAMETERS", {{L"Data", std::nullopt, data, WBEM_FLAVOR_ORIGIN_LOCAL}}).Detach();
    return WBEM_S_NO_ERROR;
  }

  // The subscriptions of `sink`, or all of them for null, out of the list.
  std::vector<std::shared_ptr<Subscription>> TakeSubscriptions(IWbemObjectSink* sink) {
    std::lock_guard lock(lock_);
    std::vector<std::shared_ptr<Subscription>> taken;
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
      if (sink == nullptr || (*it)->sink() == sink) {
        taken.push_back(std::move(*it));
        it = subscriptions_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }

  std::mutex lock_;
  std::vector<std::shared_ptr<Subscription>> subscriptions_;
};

}  // namespace

ComPtr<IWbemServices> MakeServices() { return ComPtr<IWbemServices>::Attach(new Services()); }

void CloseExecGate() {
  if (g_execGate) ::ResetEvent(g_execGate.get());
}

void OpenExecGate() {
  if (g_execGate) ::SetEvent(g_execGate.get());
}

size_t CallsAtExecGate() { return g_atExecGate.load(); }

}  // namespace kqdtb::wmi
