// The sensor manager's answers, and the class object that makes it.

#include "doubles/sensors/sensor_manager.h"

#include <algorithm>
#include <utility>

#include "doubles/sensors/sensor.h"
#include "sources/sensor_ids.h"

namespace kqdtb::sensors {

Manager::Manager() {
  std::lock_guard guard(S().lock);
  S().managers.push_back(this);
}

Manager::~Manager() {
  {
    std::lock_guard guard(S().lock);
    auto& all = S().managers;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  }
  PublishStatus();
}

HRESULT Manager::GetSensorsByType(REFSENSOR_TYPE_ID type, ISensorCollection** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::vector<ComPtr<Sensor>> found;
  {
    std::lock_guard guard(S().lock);
    for (size_t i = 0; i < kMaxSensors; ++i) {
      const auto& sensor = S().sensors[i];
      if (!S().present[i] || !sensor) continue;
      if (type == (sensor->config.custom ? kqd::kSensorTypeCustom : kOtherType)) found.push_back(sensor);
    }
  }
  // Windows answers an empty search with an empty collection.
  *out = MakeCollection(std::move(found)).Detach();
  return S_OK;
}

HRESULT Manager::SetEventSink(ISensorManagerEvents* events) {
  {
    std::lock_guard guard(S().lock);
    sink = ComPtr<ISensorManagerEvents>(events);
  }
  PublishStatus();
  return S_OK;
}

namespace {

class Factory final : public com::ClassFactory<Tag> {
 protected:
  HRESULT Create(REFIID iid, void** out) override {
    {
      std::lock_guard guard(S().lock);
      EnsureThreadLocked();
    }
    return Make<Manager>()->QueryInterface(iid, out);
  }
};

Factory g_factory;

}  // namespace

IClassFactory* ClassFactory() { return &g_factory; }

}  // namespace kqdtb::sensors
