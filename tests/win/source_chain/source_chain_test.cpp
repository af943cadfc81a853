// Source selection with the real sources: the first that answers wins, the later
// ones are never made, and a sensor that arrives late takes over.

#include <gtest/gtest.h>
#include <objbase.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "doubles/davodira/davodira_client.h"
#include "doubles/pwraux/pwraux_client.h"
#include "mode/mode_event.h"
#include "mode/mode_sources.h"
#include "mode/mode_store.h"
#include "mode/zarn_mode_controller.h"
#include "doubles/sensors/sensors_double.h"
#include "sources/sensor_ids.h"
#include "support/com_classes.h"
#include "support/registry_backup.h"
#include "support/type2_flips.h"
#include "support/wait_until.h"
#include "doubles/wmi/wmi_double.h"

namespace {

using kqdtest::WaitUntil;
namespace davodira = kqdtb::davodira;
namespace pwraux = kqdtb::pwraux;
namespace sensors = kqdtb::sensors;
namespace wmi = kqdtb::wmi;

constexpr CLSID kClsidWbemLocator = {0x4590f811, 0x1d3a, 0x11d0, {0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24}};

struct Plugged {
  std::optional<DWORD> wmiMode;    // the provider with this mode; none: no provider
  bool sensor = false;             // a matching sensor
  uint32_t driverAnswer = 0x00020000;  // format 2, unknown: the driver is not chosen
};

struct Made {
  int wmi = 0, sensor = 0, driver = 0;
};

std::optional<DWORD> StoredMode() {
  std::optional<DWORD> mode;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return mode;
  DWORD value = 0, size = sizeof(value);
  if (::RegQueryValueExW(key, kqd::kModeValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
      ERROR_SUCCESS) {
    mode = value;
  }
  ::RegCloseKey(key);
  return mode;
}

// The third fields the energy-management driver received, in order.
std::vector<uint32_t> Sent() {
  std::vector<uint32_t> fields;
  if (const auto record = pwraux::ReadRecord()) {
    for (const auto& entry : record->entries) {
      if (entry.bytes.size() >= 12) {
        fields.push_back(entry.bytes[8] | entry.bytes[9] << 8 | entry.bytes[10] << 16 |
                         static_cast<uint32_t>(entry.bytes[11]) << 24);
      }
    }
  }
  return fields;
}

class SourceChain : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.Enter()));
    ASSERT_EQ(com_.Register(kClsidWbemLocator, wmi::LocatorFactory()), S_OK);
    ASSERT_EQ(com_.Register(kqd::kClsidSensorManager, sensors::ClassFactory()), S_OK);
    ASSERT_TRUE(wmi::ResetConfig());
    sensors::Reset();
    ASSERT_TRUE(davodira::SetFail(false));
    ASSERT_TRUE(davodira::WriteType2(0));
    ASSERT_TRUE(pwraux::FailAll(false));
    ASSERT_TRUE(pwraux::Clear());
  }

  void TearDown() override {
    controller_.reset();
    sensors::Reset();
    EXPECT_EQ(wmi::LiveObjects(), 0) << "a WMI object was not released";
  }

  // Plugs in the doubles, then starts a controller whose factories count what they
  // make; `built` runs between its construction and its start.
  void Start(const Plugged& plugged, const std::function<void()>& built = [] {}) {
    ASSERT_TRUE(wmi::SetProvider(plugged.wmiMode.has_value()));
    ASSERT_TRUE(wmi::SetMode(plugged.wmiMode));
    if (plugged.sensor) sensors::Plug(0);
    ASSERT_TRUE(davodira::SetAnswer(plugged.driverAnswer));

    kqd::ModeSourceFactory product = kqd::DefaultModeSources();
    kqd::ModeSourceFactory counted;
    counted.wmi = [this, make = product.wmi](kqd::CZarnModeController& c) { ++made_.wmi; return make(c); };
    counted.sensor = [this, make = product.sensor](kqd::CZarnModeController& c) { ++made_.sensor; return make(c); };
    counted.driver = [this, make = product.driver](kqd::CZarnModeController& c) { ++made_.driver; return make(c); };
    controller_ = std::make_unique<kqd::CZarnModeController>(counted);
    built();
    controller_->RequestStart();
  }

  bool SourceIs(kqd::ModeSourceKind kind) {
    return WaitUntil([&] { return controller_->GetSourceKind() == kind; });
  }
  static bool Stored(DWORD mode) { return WaitUntil([mode] { return StoredMode() == mode; }); }
  static bool SentIs(const std::vector<uint32_t>& fields) {
    return WaitUntil([&] { return Sent() == fields; });
  }

  kqdtest::RegistryBackup modeBackup_{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {kqd::kModeValueName}};
  kqdtest::RegistryBackup wmiBackup_{HKEY_LOCAL_MACHINE, wmi::kConfigKey,
                                     {wmi::kProviderValue, wmi::kInstancesValue, wmi::kModeValue}};
  Made made_;
  std::unique_ptr<kqd::CZarnModeController> controller_;
  kqdtest::ComClasses com_;
};

TEST_F(SourceChain, WmiWinsEvenWhenTheOthersWork_AndTheOthersAreNotMade) {
  Start({.wmiMode = 2, .sensor = true, .driverAnswer = 0x00020003});
  ASSERT_TRUE(SourceIs(kqd::kSourceWmi));
  // "Mode" was still 0, so the provider's mode is published at once: attach, slate posture, raw mode.
  EXPECT_TRUE(Stored(2));
  EXPECT_TRUE(SentIs({10, 8, 2})) << "sent " << testing::PrintToString(Sent());
  EXPECT_EQ(made_.wmi, 1);
  EXPECT_EQ(made_.sensor, 0);
  EXPECT_EQ(made_.driver, 0);
  EXPECT_EQ(sensors::ManagerSinks(), 0u);
}

// The class answers with no instance: the probe succeeds with the mode unknown, and
// the query that follows publishes that unknown mode like any other.
TEST_F(SourceChain, WmiClassWithoutInstance_PublishesTheUnknownMode) {
  ASSERT_TRUE(wmi::SetInstances(0));
  // Gone after the construction stored its 0, so a "Mode" seen later was published.
  Start({.wmiMode = 2, .sensor = true},
        [] { kqdtest::DeleteValue(HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, kqd::kModeValueName); });
  ASSERT_TRUE(SourceIs(kqd::kSourceWmi));
  EXPECT_TRUE(SentIs({10, 9, 0})) << "sent " << testing::PrintToString(Sent());
  EXPECT_TRUE(Stored(0));
  EXPECT_EQ(made_.sensor, 0);
}

TEST_F(SourceChain, WithoutTheProvider_TheSensorWins_AndTheDriverIsNotMade) {
  Start({.wmiMode = std::nullopt, .sensor = true, .driverAnswer = 0x00020003});
  ASSERT_TRUE(SourceIs(kqd::kSourceSensorApi));
  EXPECT_EQ(made_.wmi, 1);
  EXPECT_EQ(made_.sensor, 1);
  EXPECT_EQ(made_.driver, 0);
  EXPECT_EQ(wmi::LiveObjects(), 0) << "the failed WMI source was not released";
  EXPECT_TRUE(SentIs({10}));

  sensors::SetAngles(0, 300, 100);
  ASSERT_TRUE(sensors::WaitForDelivery(sensors::DeliverReport()));
  EXPECT_TRUE(Stored(3));
  EXPECT_TRUE(SentIs({10, 8, 3})) << "sent " << testing::PrintToString(Sent());
}

TEST_F(SourceChain, WithNeitherProviderNorSensor_TheDriverWins_WithEverySwitchOff) {
  Start({.wmiMode = std::nullopt, .sensor = false, .driverAnswer = 0x00020003});
  ASSERT_TRUE(SourceIs(kqd::kSourceDriver));
  EXPECT_EQ(made_.driver, 1);
  EXPECT_EQ(controller_->GetMode(), 2u);
  EXPECT_TRUE(SentIs({10}));

  ASSERT_TRUE(davodira::SetAnswer(0x00020004));
  ASSERT_TRUE(davodira::Clear());
  ASSERT_TRUE(kqdtest::FlipType2UntilAsked()) << "the watch thread never asked the driver";
  EXPECT_TRUE(Stored(3));
  // The driver's switches send neither posture nor raw mode.
  EXPECT_EQ(Sent(), std::vector<uint32_t>{10});
}

TEST_F(SourceChain, NothingAnswers_ThenALateSensorTakesOverWithTheSensorSwitches) {
  Start({});
  // A sensor arriving while the chain still runs is applied twice (once by the chain,
  // once for the arrival) and attaches twice: arrive after it.
  ASSERT_TRUE(WaitUntil([&] { return controller_->SourcesRunning(); }));
  EXPECT_EQ(made_.driver, 1);
  EXPECT_EQ(controller_->GetSourceKind(), kqd::kSourceNone);
  EXPECT_TRUE(Sent().empty()) << "nothing is announced without a source";

  sensors::Plug(0);
  ASSERT_TRUE(SourceIs(kqd::kSourceSensorApi));
  EXPECT_TRUE(SentIs({10}));
  sensors::SetAngles(0, 120, 90);
  ASSERT_TRUE(sensors::WaitForDelivery(sensors::DeliverReport()));
  EXPECT_TRUE(Stored(1));
  EXPECT_TRUE(SentIs({10, 9, 1})) << "sent " << testing::PrintToString(Sent());
}

}  // namespace
