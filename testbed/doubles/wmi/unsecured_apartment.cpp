// IUnsecuredApartment (learn.microsoft.com/en-us/windows/win32/api/wbemcli/nn-wbemcli-iunsecuredapartment),
// which Wine lacks, and the stub it hands out.

#include <atomic>
#include <mutex>

#include "doubles/wmi/shared.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

constexpr CLSID kClsidUnsecuredApartment = {
    0x49bd2028, 0x1523, 0x11d1, {0xad, 0x79, 0x00, 0xc0, 0x4f, 0xd8, 0xfd, 0xff}};

std::atomic<bool> g_apartmentRegistered{false};

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

Factory<Apartment> g_apartmentFactory{L"UnsecuredApartment"};
std::mutex g_apartmentLock;

}  // namespace

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

bool ServerIdle() { return Counts::Idle() && !g_apartmentRegistered.load(); }

}  // namespace kqdtb::wmi
