#include "trace/replay/input_feeds.h"

#include <windows.h>

#include <chrono>

#include "doubles/davodira/davodira_client.h"
#include "trace/replay/replay_clock.h"
#include "doubles/sensors/sensors_double.h"
#include "win/unique_handle.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::replay {
namespace {

using kqd::win::UniqueHandleNull;
using namespace std::chrono_literals;

constexpr DWORD kAnswerLimitMs = 10000;
constexpr size_t kSensor = 0;
constexpr size_t kRowA = 5;  // "Val6"
constexpr size_t kRowB = 4;  // "Val5"

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

class SensorFeed final : public InputFeed {
 public:
  bool Ready(std::string* error) override {
    const UniqueHandleNull event(::OpenEventW(SYNCHRONIZE, FALSE, sensors::kReportEventName));
    if (!event) return Fail(error, "no Sensor API double is loaded (is the service running on the sensor?)");
    if (!sensors::ReadConfig(kSensor)) return Fail(error, "sensor 0 is not plugged (kqdtb sensor-plug)");
    return true;
  }

  bool Prepare(const PlannedInput& input, std::string* error) override {
    if (!sensors::WriteAngles(kSensor, input.a, input.b)) return Fail(error, "cannot write the sensor's angles");
    return true;
  }

  // Whether a report reached a sink is asked of the first only and counted at the
  // end: the registry reads would otherwise slow every report.
  bool Deliver(const PlannedInput&, std::uint64_t* at, std::string* error) override {
    const bool first = !started_;
    if (first) {
      started_ = true;
      before_ = sensors::ReadStatus(sensors::kReportsDeliveredValue);
    }
    if (!sensors::Signal(sensors::kReportEventName, std::chrono::milliseconds(kAnswerLimitMs),
                         [at] { *at = ReplayClock::Now(); })) {
      return Fail(error, "no loaded Sensor API double answered the report");
    }
    if (first && sensors::ReadStatus(sensors::kReportsDeliveredValue) == before_) {
      return Fail(error, "the report reached no sink: the service does not listen to the sensor");
    }
    return true;
  }

  bool Finish(size_t delivered, std::string* error) override {
    const DWORD reached = sensors::ReadStatus(sensors::kReportsDeliveredValue) - before_;
    if (reached < delivered) {
      return Fail(error, std::to_string(delivered - reached) + " of " + std::to_string(delivered) +
                             " reports reached no sink");
    }
    return true;
  }

 private:
  bool started_ = false;
  DWORD before_ = 0;
};

class WmiFeed final : public InputFeed {
 public:
  bool Ready(std::string* error) override {
    if (!wmi::ReadConfig().provider) return Fail(error, "the WMI provider is off (kqdtb wmi-provider on)");
    if (!WaitForSubscriber()) return Fail(error, "nobody subscribed to the WMI double's events within 10 s");
    fire_.reset(::CreateSemaphoreW(nullptr, 0, wmi::kSemaphoreMax, wmi::kFireSemaphore));
    delivered_.reset(::CreateSemaphoreW(nullptr, 0, wmi::kSemaphoreMax, wmi::kDeliveredSemaphore));
    if (!fire_ || !delivered_) return Fail(error, "cannot open the WMI double's semaphores");
    while (::WaitForSingleObject(delivered_.get(), 0) == WAIT_OBJECT_0) {
    }
    return true;
  }

  bool Prepare(const PlannedInput&, std::string*) override { return true; }

  // The mode is set at the input's time, not before: a query of the previous
  // event may still be on its way and must read the previous mode.
  bool Deliver(const PlannedInput& input, std::uint64_t* at, std::string* error) override {
    if (!wmi::SetMode(input.setting)) return Fail(error, "cannot set the WMI provider's mode");
    *at = ReplayClock::Now();
    ::ReleaseSemaphore(fire_.get(), 1, nullptr);
    if (::WaitForSingleObject(delivered_.get(), kAnswerLimitMs) != WAIT_OBJECT_0) {
      ::WaitForSingleObject(fire_.get(), 0);  // takes the undelivered event back
      return Fail(error, "the WMI event was not delivered within 10 s");
    }
    return true;
  }

 private:
  static bool WaitForSubscriber() {
    const ULONGLONG deadline = ::GetTickCount64() + kAnswerLimitMs;
    for (;;) {
      const UniqueHandleNull subscribed(::OpenEventW(SYNCHRONIZE, FALSE, wmi::kSubscribedEvent));
      if (subscribed && ::WaitForSingleObject(subscribed.get(), 0) == WAIT_OBJECT_0) return true;
      if (::GetTickCount64() >= deadline) return false;
      ::Sleep(20);
    }
  }

  UniqueHandleNull fire_;
  UniqueHandleNull delivered_;
};

class DriverFeed final : public InputFeed {
 public:
  bool Ready(std::string* error) override {
    if (!davodira::IsPresent()) return Fail(error, "\\\\.\\DAVODIRA is not installed (kqdtb install-davodira)");
    return true;
  }

  bool Prepare(const PlannedInput&, std::string*) override { return true; }

  // As with WMI, the answer changes only at the input's time.
  bool Deliver(const PlannedInput& input, std::uint64_t* at, std::string* error) override {
    if (input.setting && !davodira::SetAnswer(*input.setting)) return Fail(error, "cannot set the driver's answer");
    *at = ReplayClock::Now();
    if (!davodira::FlipType2()) return Fail(error, "cannot flip Type2");
    return true;
  }
};

}  // namespace

std::unique_ptr<InputFeed> MakeSensorFeed() { return std::make_unique<SensorFeed>(); }
std::unique_ptr<InputFeed> MakeWmiFeed() { return std::make_unique<WmiFeed>(); }
std::unique_ptr<InputFeed> MakeDriverFeed() { return std::make_unique<DriverFeed>(); }

std::unique_ptr<InputFeed> MakeFeed(Source source) {
  switch (source) {
    case kqd::kSourceNone:
    case kqd::kSourceSensorApi: return MakeSensorFeed();
    case kqd::kSourceWmi: return MakeWmiFeed();
    case kqd::kSourceDriver: return MakeDriverFeed();
  }
  return MakeSensorFeed();
}

}  // namespace kqdtb::replay
