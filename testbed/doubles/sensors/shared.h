#pragma once
// What the double's COM objects and its thread share. Every object counts
// itself live from construction to destruction, so a test sees any reference
// that the caller did not release.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "common/com_object.h"
#include "doubles/sensors/sensors_double.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

namespace kqdtb::sensors {

using kqd::win::ComPtr;

// SENSOR_TYPE_AMBIENT_LIGHT: the "other" sensor type the double can offer.
inline constexpr GUID kOtherType = {0x97f115c8, 0x599a, 0x4153, {0x88, 0x94, 0xd2, 0xd1, 0x28, 0x99, 0x91, 0x8a}};

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

State& S();

template <typename Interface>
using Object = com::ComObject<Tag, Interface>;
using com::Make;

void PublishStatus();

// Under S().lock.
void EnsureThreadLocked();

// Made in their own files.
ComPtr<ISensorDataReport> MakeReport(const std::array<SensorValue, kValueCount>& values);
ComPtr<ISensorCollection> MakeCollection(std::vector<ComPtr<Sensor>> sensors);

}  // namespace kqdtb::sensors
