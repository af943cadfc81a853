// The double's COM objects and its own callback thread. Every object counts
// itself live from construction to destruction, so a test sees any reference
// that the caller did not release.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "common/com_object.h"
#include "doubles/sensors/sensors_double.h"
#include "sources/sensor_ids.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

namespace kqdtb::sensors {
namespace {

using kqd::win::ComPtr;

// SENSOR_TYPE_AMBIENT_LIGHT: the "other" sensor type the double can offer.
constexpr GUID kOtherType = {0x97f115c8, 0x599a, 0x4153, {0x88, 0x94, 0xd2, 0xd1, 0x28, 0x99, 0x91, 0x8a}};

struct Tag {};

class Sensor;
class Manager;

struct Task {
  uint64_t ticket;
  std::function<void()> run;
};

// Leaked on purpose: the double's thread outlives static destruction.
struct State {
  std::mutex lock;
  std::array<ComPtr<Sensor>, kMaxSensors> sensors;
  std::array<bool, kMaxSensors> present{};
  std::vector<Manager*> managers;
  std::vector<ComPtr<ISensorEvents>> retained;
  bool retain = false;
  std::vector<HRESULT> reportResults;
  std::vector<HRESULT> enterResults;
  uint64_t delivered = 0;

  bool hold = false;
  bool held = false;
  std::condition_variable holdChanged;

  std::deque<Task> tasks;
  uint64_t nextTicket = 1;
  uint64_t doneTicket = 0;
  std::condition_variable taskDone;
  kqd::win::UniqueHandleNull wake{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  bool threadStarted = false;
  std::atomic<DWORD> threadId{0};

  bool channel = false;
  kqd::win::UniqueHandleNull reportEvent;
  kqd::win::UniqueHandleNull plugEvent;
  kqd::win::UniqueHandleNull handledEvent;
};

State& S() {
  static State* state = new State();
  return *state;
}

template <typename Interface>
using Object = com::ComObject<Tag, Interface>;
using com::Make;

void PublishStatus();

class DataReport final : public Object<ISensorDataReport> {
 public:
  explicit DataReport(const std::array<SensorValue, kValueCount>& values) : values_(values) {}

  HRESULT STDMETHODCALLTYPE GetTimestamp(SYSTEMTIME* out) override {
    if (out == nullptr) return E_POINTER;
    ::GetSystemTime(out);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorValue(REFPROPERTYKEY key, PROPVARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    std::memset(out, 0, sizeof *out);
    {
      std::unique_lock guard(S().lock);
      if (S().hold) {
        S().held = true;
        S().holdChanged.notify_all();
        S().holdChanged.wait(guard, [] { return !S().hold; });
        S().held = false;
      }
    }
    if (key.fmtid != kqd::kSensorDataTypeCustom || key.pid < 7 || key.pid >= 7 + kValueCount) {
      return kNoPropertyResult;
    }
    const SensorValue& value = values_[key.pid - 7];
    if (value.type == VT_EMPTY) return kNoPropertyResult;
    out->vt = value.type;
    out->ulVal = value.bits;  // every 4-byte member shares these bits
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorValues(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }

 private:
  const std::array<SensorValue, kValueCount> values_;
};

class Sensor final : public Object<ISensor> {
 public:
  explicit Sensor(size_t index)
      : id_{0x6b2a7c10, 0x5d3e, 0x4f21, {0x9a, 0x44, 0x31, 0x7e, 0x0c, 0x58, 0x2d, static_cast<BYTE>(index)}} {}

  // Under S().lock.
  SensorConfig config;
  ComPtr<ISensorEvents> sink;

  const SENSOR_ID& id() const { return id_; }

  HRESULT STDMETHODCALLTYPE GetID(SENSOR_ID* out) override {
    if (out == nullptr) return E_POINTER;
    *out = id_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCategory(SENSOR_CATEGORY_ID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetType(SENSOR_TYPE_ID* out) override {
    if (out == nullptr) return E_POINTER;
    std::lock_guard guard(S().lock);
    *out = config.custom ? kqd::kSensorTypeCustom : kOtherType;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFriendlyName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperty(REFPROPERTYKEY key, PROPVARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    std::memset(out, 0, sizeof *out);
    if (key.fmtid != kqd::kSensorPropertyModel.fmtid || key.pid != kqd::kSensorPropertyModel.pid) {
      return kNoPropertyResult;
    }
    std::lock_guard guard(S().lock);
    if (!config.model) return kNoPropertyResult;
    const size_t bytes = (config.model->size() + 1) * sizeof(wchar_t);
    auto* text = static_cast<wchar_t*>(::CoTaskMemAlloc(bytes));
    if (text == nullptr) return E_OUTOFMEMORY;
    std::memcpy(text, config.model->c_str(), bytes);
    out->vt = VT_LPWSTR;
    out->pwszVal = text;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetProperties(IPortableDeviceKeyCollection*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSupportedDataFields(IPortableDeviceKeyCollection**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetProperties(IPortableDeviceValues*, IPortableDeviceValues**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SupportsDataField(REFPROPERTYKEY, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetState(SensorState* out) override {
    if (out == nullptr) return E_POINTER;
    std::lock_guard guard(S().lock);
    *out = config.state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetData(ISensorDataReport**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SupportsEvent(REFGUID, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetEventInterest(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventInterest(GUID*, ULONG) override { return E_NOTIMPL; }
  // Never blocks: callers may hold their own locks here.
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorEvents* events) override {
    {
      std::lock_guard guard(S().lock);
      if (sink && S().retain && sink.get() != events) S().retained.push_back(sink);
      sink = ComPtr<ISensorEvents>(events);
    }
    PublishStatus();
    return S_OK;
  }

 private:
  const SENSOR_ID id_;
};

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

class Manager final : public Object<ISensorManager> {
 public:
  Manager() {
    std::lock_guard guard(S().lock);
    S().managers.push_back(this);
  }
  ~Manager() override {
    {
      std::lock_guard guard(S().lock);
      auto& all = S().managers;
      all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
    PublishStatus();
  }

  ComPtr<ISensorManagerEvents> sink;  // under S().lock

  HRESULT STDMETHODCALLTYPE GetSensorsByCategory(REFSENSOR_CATEGORY_ID, ISensorCollection**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSensorsByType(REFSENSOR_TYPE_ID type, ISensorCollection** out) override {
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
    *out = Make<Collection>(std::move(found)).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSensorByID(REFSENSOR_ID, ISensor**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventSink(ISensorManagerEvents* events) override {
    {
      std::lock_guard guard(S().lock);
      sink = ComPtr<ISensorManagerEvents>(events);
    }
    PublishStatus();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RequestPermissions(HWND, ISensorCollection*, WINBOOL) override { return E_NOTIMPL; }
};

void PublishStatus() {
  DWORD managerSinks = 0;
  DWORD sensorSinks = 0;
  uint64_t delivered = 0;
  {
    std::lock_guard guard(S().lock);
    if (!S().channel) return;
    for (auto* manager : S().managers) managerSinks += manager->sink ? 1 : 0;
    for (const auto& sensor : S().sensors) sensorSinks += sensor && sensor->sink ? 1 : 0;
    delivered = S().delivered;
  }
  WriteStatus(kManagerSinksValue, managerSinks);
  WriteStatus(kSensorSinksValue, sensorSinks);
  WriteStatus(kReportsDeliveredValue, static_cast<DWORD>(delivered));
}

// --- the double's thread: everything that calls a sink runs here ------------

// `count` reports back to back from every present sensor with a sink. In a burst
// the reports before the last alternate with a second posture ("BurstA", "BurstB"
// as "Val6" and "Val5"), so that evaluating any report but the last would change
// the mode.
void DeliverNow(DWORD count = 1, DWORD otherA = 0, DWORD otherB = 0) {
  struct Delivery {
    ComPtr<ISensorEvents> sink;
    ComPtr<Sensor> sensor;
    ComPtr<DataReport> report;
    ComPtr<DataReport> other;
  };
  std::vector<Delivery> deliveries;
  {
    std::lock_guard guard(S().lock);
    for (size_t i = 0; i < kMaxSensors; ++i) {
      const auto& sensor = S().sensors[i];
      if (S().present[i] && sensor && sensor->sink) {
        auto values = sensor->config.values;
        values[5] = {VT_R4, otherA};
        values[4] = {VT_R4, otherB};
        deliveries.push_back({sensor->sink, sensor, Make<DataReport>(sensor->config.values), Make<DataReport>(values)});
      }
    }
  }
  for (DWORD n = 0; n < count; ++n) {
    const bool other = (count - 1 - n) % 2 == 1;
    for (const auto& d : deliveries) {
      const HRESULT hr = d.sink->OnDataUpdated(d.sensor.get(), (other ? d.other : d.report).get());
      std::lock_guard guard(S().lock);
      S().reportResults.push_back(hr);
      ++S().delivered;
    }
  }
  PublishStatus();
}

void AnnounceNow(size_t index) {
  std::vector<ComPtr<ISensorManagerEvents>> sinks;
  ComPtr<Sensor> sensor;
  SensorState state = SENSOR_STATE_READY;
  {
    std::lock_guard guard(S().lock);
    if (!S().present[index] || !S().sensors[index]) return;
    sensor = S().sensors[index];
    state = sensor->config.state;
    for (auto* manager : S().managers) {
      if (manager->sink) sinks.push_back(manager->sink);
    }
  }
  for (const auto& sink : sinks) {
    const HRESULT hr = sink->OnSensorEnter(sensor.get(), state);
    std::lock_guard guard(S().lock);
    S().enterResults.push_back(hr);
  }
}

void LeaveNow(size_t index) {
  ComPtr<ISensorEvents> sink;
  SENSOR_ID id{};
  {
    std::lock_guard guard(S().lock);
    if (!S().sensors[index]) return;
    sink = S().sensors[index]->sink;
    id = S().sensors[index]->id();
  }
  if (sink) sink->OnLeave(id);
}

// Under S().lock: the sensor object of a slot, made on first use.
Sensor& SlotLocked(size_t index) {
  auto& sensor = S().sensors[index];
  if (!sensor) sensor = Make<Sensor>(index);
  return *sensor.get();
}

// Applies the registry to the slots; with `presence`, also plugs and unplugs.
void SyncFromRegistry(bool presence) {
  const DWORD again = presence ? ReadStatus(kAnnounceValue) : 0;
  if (again != 0) WriteStatus(kAnnounceValue, 0);
  for (size_t i = 0; i < kMaxSensors; ++i) {
    const auto config = ReadConfig(i);
    bool arrived = false;
    bool left = false;
    {
      std::lock_guard guard(S().lock);
      if (config) SlotLocked(i).config = *config;
      if (presence) {
        arrived = config && (!S().present[i] || (again & (1u << i)) != 0);
        left = !config && S().present[i];
        S().present[i] = config.has_value();
      }
    }
    if (arrived) AnnounceNow(i);
    if (left) LeaveNow(i);
  }
}

void Acknowledge() {
  WriteStatus(kHandledValue, ReadStatus(kRequestValue));
  if (S().handledEvent) ::SetEvent(S().handledEvent.get());
}

DWORD WINAPI CallbackThread(void*) {
  for (;;) {
    std::vector<HANDLE> handles;
    {
      std::lock_guard guard(S().lock);
      handles.push_back(S().wake.get());
      if (S().reportEvent && S().plugEvent) {
        handles.push_back(S().reportEvent.get());
        handles.push_back(S().plugEvent.get());
      }
    }
    const DWORD woke = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 + 1) {
      SyncFromRegistry(false);
      if (const DWORD burst = ReadStatus(kBurstValue); burst > 1) {
        WriteStatus(kBurstValue, 0);
        DeliverNow(burst, ReadStatus(kBurstAValue), ReadStatus(kBurstBValue));
      } else {
        DeliverNow();
      }
      Acknowledge();
    } else if (woke == WAIT_OBJECT_0 + 2) {
      SyncFromRegistry(true);
      PublishStatus();
      Acknowledge();
    } else if (woke == WAIT_FAILED) {
      return 1;
    }
    for (;;) {
      Task task;
      {
        std::lock_guard guard(S().lock);
        if (S().tasks.empty()) break;
        task = std::move(S().tasks.front());
        S().tasks.pop_front();
      }
      task.run();
      std::lock_guard guard(S().lock);
      S().doneTicket = task.ticket;
      S().taskDone.notify_all();
    }
  }
}

// Under S().lock.
void EnsureThreadLocked() {
  if (S().threadStarted) return;
  DWORD id = 0;
  kqd::win::UniqueHandleNull thread(::CreateThread(nullptr, 0, &CallbackThread, nullptr, 0, &id));
  if (!thread) return;
  S().threadStarted = true;
  S().threadId = id;
}

uint64_t Post(std::function<void()> run) {
  std::lock_guard guard(S().lock);
  EnsureThreadLocked();
  const uint64_t ticket = S().nextTicket++;
  S().tasks.push_back({ticket, std::move(run)});
  ::SetEvent(S().wake.get());
  return ticket;
}

bool Wait(uint64_t ticket, std::chrono::milliseconds limit) {
  std::unique_lock guard(S().lock);
  return S().taskDone.wait_for(guard, limit, [&] { return S().doneTicket >= ticket; });
}

void RunOnThread(std::function<void()> run) { Wait(Post(std::move(run)), std::chrono::seconds(30)); }

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

size_t CheckedIndex(size_t index) { return index < kMaxSensors ? index : kMaxSensors - 1; }

}  // namespace

SensorValue SensorValue::R4(float value) {
  SensorValue result;
  std::memcpy(&result.bits, &value, sizeof value);
  return result;
}

IClassFactory* ClassFactory() { return &g_factory; }
long LiveObjects() { return com::Counts<Tag>::live.load(); }
bool ServerIdle() {
  std::lock_guard guard(S().lock);
  // Once the thread runs, the code it executes must stay loaded.
  return com::Counts<Tag>::Idle() && !S().threadStarted;
}

void Reset() {
  HoldReports(false);
  RunOnThread([] {});
  std::array<ComPtr<Sensor>, kMaxSensors> sensors;
  std::vector<ComPtr<ISensorEvents>> retained;
  {
    std::lock_guard guard(S().lock);
    for (auto& sensor : S().sensors) {
      if (sensor) sensor->sink.reset();
    }
    sensors.swap(S().sensors);
    S().present = {};
    retained.swap(S().retained);
    S().retain = false;
    S().reportResults.clear();
    S().enterResults.clear();
    S().delivered = 0;
  }
}

void Plug(size_t index, const SensorConfig& config) {
  index = CheckedIndex(index);
  {
    std::lock_guard guard(S().lock);
    SlotLocked(index).config = config;
    S().present[index] = true;
  }
  RunOnThread([index] { AnnounceNow(index); });
}

void Reannounce(size_t index) {
  index = CheckedIndex(index);
  RunOnThread([index] { AnnounceNow(index); });
}

void Unplug(size_t index) {
  index = CheckedIndex(index);
  {
    std::lock_guard guard(S().lock);
    S().present[index] = false;
  }
  RunOnThread([index] { LeaveNow(index); });
}

void SetValue(size_t index, size_t row, SensorValue value) {
  std::lock_guard guard(S().lock);
  SlotLocked(CheckedIndex(index)).config.values[row < kValueCount ? row : kValueCount - 1] = value;
}

void SetAngles(size_t index, float a, float b) {
  SetValue(index, 5, SensorValue::R4(a));
  SetValue(index, 4, SensorValue::R4(b));
}

void SetState(size_t index, SensorState state) {
  std::lock_guard guard(S().lock);
  SlotLocked(CheckedIndex(index)).config.state = state;
}

uint64_t DeliverReport() { return Post([] { DeliverNow(); }); }

bool WaitForDelivery(uint64_t ticket, std::chrono::milliseconds limit) { return Wait(ticket, limit); }

uint64_t ReportsDelivered() {
  std::lock_guard guard(S().lock);
  return S().delivered;
}

std::vector<HRESULT> ReportResults() {
  std::lock_guard guard(S().lock);
  return S().reportResults;
}

std::vector<HRESULT> EnterResults() {
  std::lock_guard guard(S().lock);
  return S().enterResults;
}

size_t ManagerSinks() {
  std::lock_guard guard(S().lock);
  size_t count = 0;
  for (auto* manager : S().managers) count += manager->sink ? 1 : 0;
  return count;
}

size_t SensorSinks() {
  std::lock_guard guard(S().lock);
  size_t count = 0;
  for (const auto& sensor : S().sensors) count += sensor && sensor->sink ? 1 : 0;
  return count;
}

DWORD CallbackThreadId() { return S().threadId.load(); }

void HoldReports(bool hold) {
  std::lock_guard guard(S().lock);
  S().hold = hold;
  S().holdChanged.notify_all();
}

bool ReportIsHeld() {
  std::lock_guard guard(S().lock);
  return S().held;
}

void RetainRemovedSinks(bool retain) {
  std::lock_guard guard(S().lock);
  S().retain = retain;
}

std::vector<HRESULT> DeliverToRetainedSinks() {
  std::vector<HRESULT> results;
  RunOnThread([&results] {
    std::vector<ComPtr<ISensorEvents>> sinks;
    ComPtr<Sensor> sensor;
    {
      std::lock_guard guard(S().lock);
      sinks = S().retained;
      sensor = S().sensors[0];
    }
    const auto report = Make<DataReport>(std::array<SensorValue, kValueCount>{});
    for (const auto& sink : sinks) results.push_back(sink->OnDataUpdated(sensor.get(), report.get()));
  });
  return results;
}

void StartControlChannel() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (size_t i = 0; i < kMaxSensors; ++i) {
      const auto config = ReadConfig(i);
      std::lock_guard guard(S().lock);
      if (config) SlotLocked(i).config = *config;
      S().present[i] = config.has_value();
    }
    WriteStatus(kReportsDeliveredValue, 0);
    {
      std::lock_guard guard(S().lock);
      S().reportEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, kReportEventName));
      S().plugEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, kPlugEventName));
      S().handledEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, kHandledEventName));
      S().channel = true;
      EnsureThreadLocked();
      ::SetEvent(S().wake.get());  // the thread takes up the new events
    }
    PublishStatus();  // counters of an earlier process do not carry over
  });
}

}  // namespace kqdtb::sensors
