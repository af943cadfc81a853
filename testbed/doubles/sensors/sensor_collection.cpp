// ISensorCollection (learn.microsoft.com/en-us/windows/win32/api/sensorsapi/nn-sensorsapi-isensorcollection):
// what GetSensorsByType answers.

#include <utility>

#include "doubles/sensors/sensor.h"
#include "doubles/sensors/shared.h"

namespace kqdtb::sensors {
namespace {

class Collection final : public Object<ISensorCollection> {
 public:
  explicit Collection(std::vector<ComPtr<Sensor>> sensors) : sensors_(std::move(sensors)) {}

  HRESULT STDMETHODCALLTYPE GetAt(ULONG index, ISensor** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (index >= sensors_.size()) return E_INVALIDARG;
    *out = sensors_[index].get();
    (*out)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* out) override {
    if (out == nullptr) return E_POINTER;
    *out = static_cast<ULONG>(sensors_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(ISensor*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RemoveByID(REFSENSOR_ID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clear() override { return E_NOTIMPL; }

 private:
  const std::vector<ComPtr<Sensor>> sensors_;
};

}  // namespace

ComPtr<ISensorCollection> MakeCollection(std::vector<ComPtr<Sensor>> sensors) {
  return ComPtr<ISensorCollection>::Attach(new Collection(std::move(sensors)));
}

}  // namespace kqdtb::sensors
