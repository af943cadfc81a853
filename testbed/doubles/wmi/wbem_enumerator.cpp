// IEnumWbemClassObject (learn.microsoft.com/en-us/windows/win32/api/wbemcli/nn-wbemcli-ienumwbemclassobject):
// the instances CreateInstanceEnum answers.

#include <mutex>
#include <utility>

#include "doubles/wmi/shared.h"

namespace kqdtb::wmi {
namespace {

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

}  // namespace

ComPtr<IEnumWbemClassObject> MakeEnumerator(std::vector<ComPtr<IWbemClassObject>> objects) {
  return ComPtr<IEnumWbemClassObject>::Attach(new Enumerator(std::move(objects)));
}

}  // namespace kqdtb::wmi
