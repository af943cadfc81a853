#pragma once
// Scripted mode sources: each answers as told and records what the controller asked.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "mode/mode_sources.h"
#include "mode/zarn_mode_controller.h"

namespace kqdtest {

// Shared by all fakes of one test: the calls in order, e.g. "wmi.Query", "driver.~".
class SourceLog {
 public:
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  size_t Count(const std::string& call) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& c : calls_) n += c == call;
    return n;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

struct SourceScript {
  bool wmiPresent = false, wmiAnswers = false;
  kqd::UsageMode wmiMode = 0;
  bool sensorPresent = false;
  HRESULT sensorConnect = S_OK;
  int sensorFound = 1;
  HRESULT sensorAttach = S_OK;
  bool driverPresent = false, driverAnswers = false;
  kqd::UsageMode driverMode = 0;
};

class FakeWmi : public kqd::IWmiModeSource {
 public:
  FakeWmi(kqd::CZarnModeController& c, const SourceScript& s, SourceLog& log) : c_(c), s_(s), log_(log) {}
  ~FakeWmi() override { log_.Add("wmi.~"); }
  int QueryUsageMode() override {
    log_.Add("wmi.Query");
    if (!s_.wmiAnswers) return 0;
    c_.SetMode(s_.wmiMode);
    return 1;
  }
  void StartThread() override { log_.Add("wmi.StartThread"); }
  void RequestQuery() override { log_.Add("wmi.RequestQuery"); }
  void Stop() override { log_.Add("wmi.Stop"); }

 private:
  kqd::CZarnModeController& c_;
  SourceScript s_;
  SourceLog& log_;
};

class FakeSensor : public kqd::ISensorModeSource {
 public:
  FakeSensor(const SourceScript& s, SourceLog& log) : s_(s), log_(log) {}
  ~FakeSensor() override { log_.Add("sensor.~"); }
  HRESULT Connect() override { return log_.Add("sensor.Connect"), s_.sensorConnect; }
  int IsSensorFound() override { return log_.Add("sensor.IsSensorFound"), s_.sensorFound; }
  HRESULT Attach() override { return log_.Add("sensor.Attach"), s_.sensorAttach; }
  HRESULT Detach() override {
    log_.Add("sensor.Detach");
    return S_OK;
  }

 private:
  SourceScript s_;
  SourceLog& log_;
};

class FakeDriver : public kqd::IDriverModeSource {
 public:
  FakeDriver(kqd::CZarnModeController& c, const SourceScript& s, SourceLog& log) : c_(c), s_(s), log_(log) {}
  ~FakeDriver() override { log_.Add("driver.~"); }
  int Probe() override {
    log_.Add("driver.Probe");
    if (!s_.driverAnswers) return 0;
    c_.SetMode(s_.driverMode);
    return 1;
  }
  void StartWatch() override { log_.Add("driver.StartWatch"); }
  void StopWatch() override { log_.Add("driver.StopWatch"); }

 private:
  kqd::CZarnModeController& c_;
  SourceScript s_;
  SourceLog& log_;
};

inline kqd::ModeSourceFactory ScriptedSources(const SourceScript& script, SourceLog& log) {
  kqd::ModeSourceFactory f;
  f.wmi = [&log, script](kqd::CZarnModeController& c) -> std::unique_ptr<kqd::IWmiModeSource> {
    log.Add("wmi.new");
    return script.wmiPresent ? std::make_unique<FakeWmi>(c, script, log) : nullptr;
  };
  f.sensor = [&log, script](kqd::CZarnModeController&) -> std::unique_ptr<kqd::ISensorModeSource> {
    log.Add("sensor.new");
    return script.sensorPresent ? std::make_unique<FakeSensor>(script, log) : nullptr;
  };
  f.driver = [&log, script](kqd::CZarnModeController& c) -> std::unique_ptr<kqd::IDriverModeSource> {
    log.Add("driver.new");
    return script.driverPresent ? std::make_unique<FakeDriver>(c, script, log) : nullptr;
  };
  return f;
}

}  // namespace kqdtest
