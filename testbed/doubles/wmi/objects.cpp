// The double's COM objects. Every object counts itself live from construction to
// destruction, so a test sees any reference the caller did not release.

#include <wbemcli.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <utility>

#include "common/com_object.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"
#include "doubles/wmi/control.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

using kqd::win::ComPtr;
using kqd::win::UniqueHandleNull;

constexpr CLSID kClsidUnsecuredApartment = {
    0x49bd2028, 0x1523, 0x11d1, {0xad, 0x79, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};
constexpr wchar_t kNamespace[] = L"ROOT\\WMI";
constexpr wchar_t kDataClass[] = L"TAVMIR_GSENSOR_DATA";
constexpr wchar_t kEventClass[] = L"TAVMIR_GSENSOR_EVENT";
constexpr wchar_t kUsageModeMethod[] = L"GetUsageMode";
constexpr const wchar_t* kValueMethods[6] = {L"GetXaxisValue",  L"GetYaxisValue",  L"GetZaxisValue",
                                             L"GetAngle4Value", L"GetAngle5Value", L"GetAngle6Value"};
constexpr DWORD kInstanceLimit = 64;  // more would only cost memory
constexpr size_t kLogLimit = 10000;   // an installed service must not grow it without bound

std::atomic<uint64_t> g_delivered{0};
std::atomic<bool> g_apartmentRegistered{false};

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

std::mutex g_logLock;
std::vector<std::wstring> g_log;

void Log(const std::wstring& call) {
  std::lock_guard lock(g_logLock);
  if (g_log.size() < kLogLimit) g_log.push_back(call);
}

std::wstring Text(const wchar_t* text) { return text != nullptr ? text : L"(null)"; }

std::wstring Hex(unsigned long value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%lx", value);
  return text;
}

bool SameName(const wchar_t* a, const wchar_t* b) { return a != nullptr && b != nullptr && _wcsicmp(a, b) == 0; }

// COM methods never let an exception out.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  } catch (...) {
    return WBEM_E_FAILED;
  }
}

struct Tag {};
using Counts = com::Counts<Tag>;

template <typename Interface>
using Object = com::ComObject<Tag, Interface>;
using com::Make;

// A property: a string, a 32-bit integer, or null.
struct Property {
  std::wstring name;
  std::optional<std::wstring> text;
  std::optional<DWORD> number;
  LONG flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
};

// Instances, out-parameters and event objects: Get is all the service reads.
class ClassObject final : public Object<IWbemClassObject> {
 public:
  explicit ClassObject(std::vector<Property> properties) : properties_(std::move(properties)) {}

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemClassObject::Get " + Text(name));
      if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
      const auto found = std::find_if(properties_.begin(), properties_.end(),
                                      [&](const Property& p) { return SameName(p.name.c_str(), name); });
      if (found == properties_.end()) return WBEM_E_NOT_FOUND;
      if (value != nullptr) {
        // As WMI does: the type is set, the rest of a null value stays as it came.
        ::VariantInit(value);
        if (found->text) {
          BSTR copy = ::SysAllocStringLen(found->text->data(), static_cast<UINT>(found->text->size()));
          if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
          V_VT(value) = VT_BSTR;
          V_BSTR(value) = copy;
        } else if (found->number) {
          V_VT(value) = VT_I4;
          V_I4(value) = static_cast<LONG>(*found->number);
        } else {
          V_VT(value) = VT_NULL;
        }
      }
      if (type != nullptr) *type = found->text ? CIM_STRING : CIM_SINT32;
      if (flavor != nullptr) *flavor = found->flavor;
      return WBEM_S_NO_ERROR;
    });
  }

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  const std::vector<Property> properties_;
};

std::wstring InstancePath(DWORD index) {
  return L"\\\\KQDTB\\ROOT\\WMI:TAVMIR_GSENSOR_DATA.InstanceName=\"ACPI\\\\PNP0C14\\\\GSNS_" + std::to_wstring(index) +
         L"\"";
}

ComPtr<IWbemClassObject> MakeObject(const wchar_t* className, std::vector<Property> more = {}) {
  more.push_back({L"__CLASS", className, std::nullopt, WBEM_FLAVOR_ORIGIN_SYSTEM});
  return ComPtr<IWbemClassObject>::Attach(new ClassObject(std::move(more)));
}

class Enumerator final : public Object<IEnumWbemClassObject> {
 public:
  explicit Enumerator(std::vector<ComPtr<IWbemClassObject>> objects) : objects_(std::move(objects)) {}

  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard lock(lock_);
    next_ = 0;
    return WBEM_S_NO_ERROR;
  }
  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    Log(L"IEnumWbemClassObject::Next");
    if (objects == nullptr || returned == nullptr || (timeout < 0 && timeout != static_cast<LONG>(WBEM_INFINITE))) {
      return WBEM_E_INVALID_PARAMETER;
    }
    *returned = 0;
    std::lock_guard lock(lock_);
    while (*returned < count && next_ < objects_.size()) {
      objects[*returned] = objects_[next_++].get();
      objects[*returned]->AddRef();
      ++*returned;
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  std::mutex lock_;
  const std::vector<ComPtr<IWbemClassObject>> objects_;
  size_t next_ = 0;
};

// Process-wide delivery handles: the testbed's named ones and a local one for tests.
struct Signals {
  UniqueHandleNull localFire{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, nullptr)};
  UniqueHandleNull fire{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, kFireSemaphore)};
  UniqueHandleNull delivered{::CreateSemaphoreW(nullptr, 0, kSemaphoreMax, kDeliveredSemaphore)};
  UniqueHandleNull subscribed{::CreateEventW(nullptr, TRUE, FALSE, kSubscribedEvent)};
};

Signals& ProcessSignals() {
  static Signals signals;
  return signals;
}

std::mutex g_subscriptionLock;
size_t g_subscriptions = 0;

void CountSubscription(bool added) {
  std::lock_guard lock(g_subscriptionLock);
  Signals& signals = ProcessSignals();
  if (added) {
    if (g_subscriptions++ == 0 && signals.subscribed) ::SetEvent(signals.subscribed.get());
    return;
  }
  if (--g_subscriptions == 0) {
    if (signals.subscribed) ::ResetEvent(signals.subscribed.get());
    // A local fire nobody took must not reach the next subscription.
    while (signals.localFire && ::WaitForSingleObject(signals.localFire.get(), 0) == WAIT_OBJECT_0) {
    }
  }
}

// One event subscription with its own delivery thread.
class Subscription {
 public:
  explicit Subscription(ComPtr<IWbemObjectSink> sink)
      : sink_(std::move(sink)), cancel_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    ++Counts::live;
  }
  ~Subscription() { --Counts::live; }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;

  IWbemObjectSink* sink() const { return sink_.get(); }

  static HRESULT Start(const std::shared_ptr<Subscription>& self) {
    if (!self->cancel_) return WBEM_E_FAILED;
    self->thread_ = std::thread([self] { self->Run(); });
    CountSubscription(true);
    detail::RecordPlain("subscribe", NowMicros());
    return WBEM_S_NO_ERROR;
  }

  // The thread has ended when this returns, unless the sink cancelled from inside Indicate.
  void End() {
    ::SetEvent(cancel_.get());
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
    sink_->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
    detail::RecordPlain("cancel", NowMicros());
    if (const DWORD lateMs = ReadConfig().lateEventMs) DeliverLate(sink_, lateMs);
    sink_.reset();
    CountSubscription(false);
  }

 private:
  void Run() {
    const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    Signals& signals = ProcessSignals();
    const HANDLE waits[] = {cancel_.get(), signals.localFire.get(), signals.fire.get()};
    const DWORD count = waits[2] != nullptr ? 3 : 2;
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(count, waits, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0 || woke >= WAIT_OBJECT_0 + count) break;
      Deliver();
    }
    if (com) ::CoUninitialize();
  }

  // Detached: the sink's reference keeps it alive, and the caller may be gone by then.
  static void DeliverLate(ComPtr<IWbemObjectSink> sink, DWORD lateMs) {
    std::thread([sink = std::move(sink), lateMs] {
      ::Sleep(lateMs);
      const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
      try {
        const ComPtr<IWbemClassObject> event = MakeObject(kEventClass);
        detail::RecordPlain("late", NowMicros());
        IWbemClassObject* objects[] = {event.get()};
        sink->Indicate(1, objects);
      } catch (const std::bad_alloc&) {
      }
      if (com) ::CoUninitialize();
    }).detach();
  }

  void Deliver() {
    ComPtr<IWbemClassObject> event;
    try {
      event = MakeObject(kEventClass);
    } catch (const std::bad_alloc&) {
      return;
    }
    const ComPtr<IWbemObjectSink> sink = sink_;  // the sink may cancel from inside Indicate
    detail::RecordPlain("event", NowMicros());
    IWbemClassObject* objects[] = {event.get()};
    sink->Indicate(1, objects);
    ++g_delivered;
    if (ProcessSignals().delivered) ::ReleaseSemaphore(ProcessSignals().delivered.get(), 1, nullptr);
  }

  ComPtr<IWbemObjectSink> sink_;
  UniqueHandleNull cancel_;
  std::thread thread_;
};

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
      *out = Make<Enumerator>(std::move(instances)).Detach();
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

class Locator final : public Object<IWbemLocator> {
 public:
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*, IWbemServices** out) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IWbemLocator::ConnectServer " + Text(resource));
      if (out == nullptr) return WBEM_E_INVALID_PARAMETER;
      *out = nullptr;
      if (resource == nullptr) return WBEM_E_INVALID_PARAMETER;
      if (!SameName(resource, kNamespace)) return WBEM_E_INVALID_NAMESPACE;
      *out = Make<Services>().Detach();
      return WBEM_S_NO_ERROR;
    });
  }
};

// Hands out the wrapped object's interfaces: calls reach it directly.
class Stub final : public Object<IUnknown> {
 public:
  explicit Stub(IUnknown* wrapped) : wrapped_(wrapped) {}

 protected:
  HRESULT QueryOwn(REFIID iid, void** out) override { return wrapped_->QueryInterface(iid, out); }

 private:
  ComPtr<IUnknown> wrapped_;
};

class Apartment final : public Object<IUnsecuredApartment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) override {
    return Guarded([&]() -> HRESULT {
      Log(L"IUnsecuredApartment::CreateObjectStub");
      if (stub == nullptr) return E_POINTER;
      *stub = nullptr;
      if (object == nullptr) return E_INVALIDARG;
      *stub = Make<Stub>(object).Detach();
      return S_OK;
    });
  }
};

void EnsureApartmentRegistered();

template <typename Made>
class Factory final : public com::ClassFactory<Tag> {
 public:
  explicit Factory(const wchar_t* name) : name_(name) {}

 protected:
  HRESULT Create(REFIID iid, void** out) override {
    return Guarded([&]() -> HRESULT {
      Log(std::wstring(name_) + L"::CreateInstance");
      if constexpr (std::is_same_v<Made, Locator>) EnsureApartmentRegistered();
      return Make<Made>()->QueryInterface(iid, out);
    });
  }

 private:
  const wchar_t* name_;
};

Factory<Locator> g_locatorFactory{L"WbemLocator"};
Factory<Apartment> g_apartmentFactory{L"UnsecuredApartment"};
std::mutex g_apartmentLock;

// Wine has no unsecured apartment; this process gets ours unless one answers
// already. Checked per locator, because COM drops registrations with their apartment.
void EnsureApartmentRegistered() {
  std::lock_guard lock(g_apartmentLock);
  ComPtr<IClassFactory> existing;
  if (SUCCEEDED(::CoGetClassObject(kClsidUnsecuredApartment, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                   existing.put_void()))) {
    return;
  }
  DWORD cookie = 0;
  if (FAILED(::CoRegisterClassObject(kClsidUnsecuredApartment, &g_apartmentFactory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE, &cookie))) {
    return;
  }
  g_apartmentRegistered = true;
  // COM now holds a pointer into this module: it must never unload.
  HMODULE self = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&g_apartmentFactory), &self);
}

}  // namespace

IClassFactory* LocatorFactory() { return &g_locatorFactory; }
long LiveObjects() { return Counts::live.load(); }
bool ServerIdle() { return Counts::Idle() && !g_apartmentRegistered.load(); }

size_t ActiveSubscriptions() {
  std::lock_guard lock(g_subscriptionLock);
  return g_subscriptions;
}

uint64_t DeliveredEvents() { return g_delivered.load(); }

void FireLocal() {
  if (ProcessSignals().localFire) ::ReleaseSemaphore(ProcessSignals().localFire.get(), 1, nullptr);
}

void CloseExecGate() {
  if (g_execGate) ::ResetEvent(g_execGate.get());
}

void OpenExecGate() {
  if (g_execGate) ::SetEvent(g_execGate.get());
}

size_t CallsAtExecGate() { return g_atExecGate.load(); }

std::vector<std::wstring> CallLog() {
  std::lock_guard lock(g_logLock);
  return g_log;
}

void ClearCallLog() {
  std::lock_guard lock(g_logLock);
  g_log.clear();
}

}  // namespace kqdtb::wmi
