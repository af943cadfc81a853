#include "sources/wmi_mode_source.h"

#include <objbase.h>
#include <wbemcli.h>

#include <cstring>
#include <string_view>
#include <system_error>

#include "core/mode_source_table.h"
#include "core/wmi_methods.h"
#include "mode/mode_event.h"
#include "mode/zarn_mode_controller.h"
#include "sources/common_event_sink.h"
#include "win/bstr.h"
#include "win/com_error.h"
#include "win/com_init.h"
#include "win/com_ptr.h"
#include "win/variant.h"
#include "win/wide.h"

namespace kqd {
namespace {

using win::ComPtr;
using win::UniqueBstr;

constexpr CLSID kClsidWbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};
constexpr CLSID kClsidUnsecuredApartment = {
    0x49bd2028, 0x1523, 0x11d1, {0xad, 0x79, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};

constexpr wchar_t kMethodNamespace[] = L"ROOT\\WMI";
constexpr wchar_t kEventNamespace[] = L"root\\WMI";
constexpr wchar_t kDataClass[] = L"TAVMIR_GSENSOR_DATA";
constexpr wchar_t kEventQuery[] = L"SELECT * FROM TAVMIR_GSENSOR_EVENT ";
constexpr wchar_t kUsageModeMethod[] = L"GetUsageMode";

// Balances one successful COM start-up of this thread.
struct ComStarted {
  ComStarted() = default;
  ComStarted(const ComStarted&) = delete;
  ComStarted& operator=(const ComStarted&) = delete;
  ~ComStarted() { ::CoUninitialize(); }
};

// The service has normally set its process security already.
HRESULT SetSecurity() { return win::InitializeComSecurity(RPC_C_AUTHN_LEVEL_DEFAULT); }

// A provider that claims success but hands back nothing is treated as failing.
template <typename T>
HRESULT Checked(HRESULT hr, const ComPtr<T>& result) {
  return SUCCEEDED(hr) && !result ? E_POINTER : hr;
}

HRESULT Connect(const UniqueBstr& wmiNamespace, ComPtr<IWbemLocator>& locator, ComPtr<IWbemServices>& services) {
  HRESULT hr = ::CoCreateInstance(kClsidWbemLocator, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IWbemLocator),
                                  locator.put_void());
  if (FAILED(hr = Checked(hr, locator))) return hr;
  hr = locator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
  if (FAILED(hr = Checked(hr, services))) return hr;
  return ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}

std::u16string_view View(BSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(win::AsU16(text), ::SysStringLen(text));
}

}  // namespace

CWmiModeSource::CWmiModeSource(CZarnModeController& controller) : controller_(controller) {
  stopEvent_ = win::Event::Auto();
  queryEvent_ = win::Event::Auto();
  table_ = MakeSensorValueTable();
}

CWmiModeSource::~CWmiModeSource() {
  // A source dropped without Stop must not wait for ever.
  Stop();
  if (thread_.joinable()) thread_.join();
  stopEvent_ = {};
  queryEvent_ = {};
}

int CWmiModeSource::QueryUsageMode() {
  try {
    const UniqueBstr method(kUsageModeMethod);
    return SUCCEEDED(CallMethod(method.get())) ? 1 : 0;
  } catch (const ComError&) {
    return 0;
  }
}

void CWmiModeSource::StartThread() {
  if (thread_.joinable()) return;
  stopFlag_.store(false);
  try {
    thread_ = std::thread([this] {
      try {
        EventLoop();
      } catch (...) {
        // The thread ends quietly; the source stays selected without events.
      }
    });
  } catch (const std::system_error&) {
    // No thread: as if its set-up had failed.
  }
}

void CWmiModeSource::RequestQuery() {
  queryEvent_.Set();
}

void CWmiModeSource::Stop() {
  stopFlag_.store(true);
  stopEvent_.Set();
}

UsageMode CWmiModeSource::LastMode() {
  std::lock_guard lock(lock_);
  return lastMode_;
}

std::vector<SensorValueSlot> CWmiModeSource::Values() {
  std::lock_guard lock(lock_);
  return table_;
}

HRESULT CWmiModeSource::CallMethod(BSTR methodName) {
  std::lock_guard lock(lock_);
  const HRESULT started = win::InitializeComWithRetryResult();
  if (FAILED(started)) return started;
  const ComStarted com;
  try {
    return RunMethod(methodName);
  } catch (const ComError& error) {
    // A string that could not be allocated: the call did not happen.
    return error.hr();
  }
}

HRESULT CWmiModeSource::RunMethod(BSTR methodName) {
  // Declared in reverse order of release: interfaces first, then variants, then strings.
  const UniqueBstr wmiNamespace(kMethodNamespace);
  const UniqueBstr className(kDataClass);
  const UniqueBstr dataName(L"Data");
  const UniqueBstr method(methodName);
  win::UniqueVariant path;
  win::UniqueVariant data;
  ComPtr<IWbemLocator> locator;
  ComPtr<IWbemServices> services;
  ComPtr<IEnumWbemClassObject> instances;
  ComPtr<IWbemClassObject> instance;
  ComPtr<IWbemClassObject> outParams;

  HRESULT hr = SetSecurity();
  if (FAILED(hr)) return hr;
  if (FAILED(hr = Connect(wmiNamespace, locator, services))) return hr;
  hr = services->CreateInstanceEnum(className.get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                    instances.put());
  if (FAILED(hr = Checked(hr, instances))) return hr;
  ULONG returned = 0;
  hr = instances->Next(WBEM_INFINITE, 1, instance.put(), &returned);
  // No instance: WBEM_S_FALSE, a success that stores nothing.
  if (FAILED(hr) || returned == 0 || !instance) return hr;

  const UniqueBstr pathName(L"__PATH");
  if (FAILED(hr = instance->Get(pathName.get(), 0, path.put(), nullptr, nullptr))) return hr;
  const BSTR objectPath = path.type() == VT_BSTR ? V_BSTR(&path.get()) : nullptr;
  hr = services->ExecMethod(objectPath, method.get(), 0, nullptr, nullptr, outParams.put(), nullptr);
  if (FAILED(hr = Checked(hr, outParams))) return hr;

  // Zeroed, so that a value without content (VT_NULL) reads as 0.
  VARIANT* value = data.put();
  std::memset(value, 0, sizeof *value);
  if (FAILED(hr = outParams->Get(dataName.get(), 0, value, nullptr, nullptr))) return hr;
  StoreData(method.get(), V_UI4(value));  // the first four bytes, whatever the type
  return hr;
}

void CWmiModeSource::StoreData(BSTR methodName, uint32_t data) {
  const WmiMethodTarget target = TargetOfWmiMethod(View(methodName));
  if (target.kind == WmiMethodTarget::kUsageMode) {
    lastMode_ = data;
    controller_.SetMode(lastMode_);  // source lock, then controller lock
  } else if (target.kind == WmiMethodTarget::kTableRow && target.row < table_.size()) {
    table_[target.row].value = TableValueFromData(data);
  }
}

void CWmiModeSource::QueryOnce() {
  try {
    const UniqueBstr method(kUsageModeMethod);
    CallMethod(method.get());  // a failed query still ends in a publication
  } catch (const ComError&) {
    // No string, no query.
  }
}

void CWmiModeSource::EventLoop() {
  const HANDLE events[] = {stopEvent_.get(), queryEvent_.get()};
  if (events[0] == nullptr || events[1] == nullptr) return;
  if (FAILED(win::InitializeComWithRetryResult())) return;
  const ComStarted com;

  // Declared in reverse order of release.
  const UniqueBstr wmiNamespace(kEventNamespace);
  ComPtr<CCommonEventSink> sink;
  ComPtr<IWbemObjectSink> stubSink;
  ComPtr<IUnknown> stub;
  ComPtr<IUnsecuredApartment> apartment;
  ComPtr<IWbemServices> services;
  ComPtr<IWbemLocator> locator;

  if (FAILED(SetSecurity()) || FAILED(Connect(wmiNamespace, locator, services))) return;
  HRESULT hr = ::CoCreateInstance(kClsidUnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                                  __uuidof(IUnsecuredApartment), apartment.put_void());
  if (FAILED(Checked(hr, apartment))) return;
  sink.reset(new CCommonEventSink(queryEvent_.get()));
  if (FAILED(Checked(apartment->CreateObjectStub(sink.get(), stub.put()), stub))) return;
  if (FAILED(Checked(stub.As(stubSink), stubSink))) return;
  {
    const UniqueBstr language(L"WQL");
    const UniqueBstr query(kEventQuery);
    if (FAILED(services->ExecNotificationQueryAsync(language.get(), query.get(), WBEM_FLAG_SEND_STATUS, nullptr,
                                                    stubSink.get()))) {
      return;
    }
  }

  // Each query restarts the window; its end publishes once.
  DWORD timeout = INFINITE;
  for (;;) {
    const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, timeout);
    if (stopFlag_.load() || woke == WAIT_FAILED) {
      services->CancelAsyncCall(stubSink.get());
      break;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
      QueryOnce();
      timeout = kWmiBurstWindowMs;
    } else if (woke == WAIT_TIMEOUT) {
      timeout = INFINITE;
      SignalModeChange();
    }
  }
}

}  // namespace kqd
