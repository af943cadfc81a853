// The double's own callback thread: everything that calls a sink runs there,
// including what the C++ API and the control channel ask for.

#include <cstring>
#include <utility>

#include "doubles/sensors/sensor.h"
#include "doubles/sensors/sensor_manager.h"
#include "doubles/sensors/shared.h"

namespace kqdtb::sensors {
namespace {

// `count` reports back to back from every present sensor with a sink. In a burst
// the reports before the last alternate with a second posture ("BurstA", "BurstB"
// as "Val6" and "Val5"), so that evaluating any report but the last would change
// the mode.
void DeliverNow(DWORD count = 1, DWORD otherA = 0, DWORD otherB = 0) {
  struct Delivery {
    ComPtr<ISensorEvents> sink;
    ComPtr<Sensor> sensor;
    ComPtr<ISensorDataReport> report;
    ComPtr<ISensorDataReport> other;
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
        deliveries.push_back({sensor->sink, sensor, MakeReport(sensor->config.values), MakeReport(values)});
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

size_t CheckedIndex(size_t index) { return index < kMaxSensors ? index : kMaxSensors - 1; }

}  // namespace

// Under S().lock.
void EnsureThreadLocked() {
  if (S().threadStarted) return;
  DWORD id = 0;
  kqd::win::UniqueHandleNull thread(::CreateThread(nullptr, 0, &CallbackThread, nullptr, 0, &id));
  if (!thread) return;
  S().threadStarted = true;
  S().threadId = id;
}

SensorValue SensorValue::R4(float value) {
  SensorValue result;
  std::memcpy(&result.bits, &value, sizeof value);
  return result;
}

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
    const auto report = MakeReport(std::array<SensorValue, kValueCount>{});
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
