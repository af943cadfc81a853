// The Sensor API double's own contract: the registry channel of the installed
// DLL, and a process that loads the DLL through the prefix's registration.

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "mode/mode_store.h"
#include "mode/zarn_mode_controller.h"
#include "doubles/sensors/sensors_double.h"
#include "sources/sensor_manager_events.h"
#include "support/com_classes.h"
#include "support/registry_backup.h"
#include "support/wait_until.h"

namespace {

namespace sn = kqdtb::sensors;
using namespace std::chrono_literals;

class SensorDoubleConfig : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sn::ClearConfig()); }
  void TearDown() override { EXPECT_TRUE(sn::ClearConfig()); }
};

TEST_F(SensorDoubleConfig, RegistryKeepsEveryFieldOfASensor) {
  sn::SensorConfig config;
  config.model = L"tavmir zarn";
  config.state = SENSOR_STATE_NO_DATA;
  config.custom = false;
  config.values = {sn::SensorValue::R4(1.5f), {VT_UI4, 4000000000u}, {VT_UINT, 3}, {VT_INT, 0xFFFFFFFFu},
                   {VT_I4, 5},                {VT_EMPTY, 0}};
  ASSERT_TRUE(sn::WriteConfig(2, config));
  const auto read = sn::ReadConfig(2);
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->model == std::wstring(L"tavmir zarn"));
  EXPECT_EQ(read->state, config.state);
  EXPECT_EQ(read->custom, config.custom);
  for (size_t row = 0; row < sn::kValueCount; ++row) {
    EXPECT_EQ(read->values[row].type, config.values[row].type) << "row " << row;
    EXPECT_EQ(read->values[row].bits, config.values[row].bits) << "row " << row;
  }

  sn::SensorConfig bare;
  bare.model = std::nullopt;
  ASSERT_TRUE(sn::WriteConfig(2, bare));
  EXPECT_FALSE(sn::ReadConfig(2)->model.has_value()) << "no model property";
  ASSERT_TRUE(sn::WriteUnplugged(2));
  EXPECT_FALSE(sn::ReadConfig(2).has_value()) << "unplugged";
  EXPECT_FALSE(sn::ReadConfig(sn::kMaxSensors).has_value());
  EXPECT_FALSE(sn::WriteValue(0, sn::kValueCount, {}));
}

TEST_F(SensorDoubleConfig, AnglesKeepEveryBitThroughTheRegistry) {
  // NaNs of either sign and with a payload, infinities, signed zero, a denormal.
  const uint32_t patterns[] = {0x7FC00000u, 0xFFC00000u, 0x7FA5A5A5u, 0x7F800000u, 0xFF800000u,
                               0x80000000u, 0x00000001u, 0x7149F2CAu};
  ASSERT_TRUE(sn::WriteConfig(0, sn::SensorConfig{}));
  for (const uint32_t bits : patterns) {
    float angle = 0;
    std::memcpy(&angle, &bits, sizeof angle);
    ASSERT_TRUE(sn::WriteValue(0, 5, sn::SensorValue::R4(angle)));
    const auto read = sn::ReadConfig(0);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->values[5].type, VT_R4);
    EXPECT_EQ(read->values[5].bits, bits) << std::hex << bits;
  }
}

TEST_F(SensorDoubleConfig, SignalWithoutALoadedDouble_FailsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sn::Signal(sn::kReportEventName, 30s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// Run by cli_test.sh, never on its own: a process that reaches the installed
// kqdsensors.dll through CoCreateInstance, attaches as the service would, and
// prints the mode once the testbed CLI has delivered the angles it waits for.
TEST(SensorInstalled, DISABLED_ModeThroughTheRegistry) {
  kqdtest::ComClasses com;
  ASSERT_TRUE(SUCCEEDED(com.Enter()));
  {
    kqdtest::RegistryBackup backup{HKEY_LOCAL_MACHINE, kqd::kModeKeyPath, {L"Mode"}};
    kqd::CZarnModeController controller{kqd::ModeSourceFactory{}};
    kqd::CSensorManagerEvents source(controller);
    std::printf("connect=0x%lx\n", static_cast<unsigned long>(source.Connect()));
    std::fflush(stdout);
    kqdtest::WaitUntil([&] { return controller.GetSourceKind() == kqd::kSourceSensorApi; }, 60s);
    std::printf("found=%d kind=%d\n", source.IsSensorFound(), static_cast<int>(controller.GetSourceKind()));
    std::fflush(stdout);
    kqdtest::WaitUntil([&] { return controller.GetMode() != 0; }, 60s);
    std::printf("mode=%u\n", static_cast<unsigned>(controller.GetMode()));
    std::printf("detach=0x%lx\n", static_cast<unsigned long>(source.Detach()));
    std::fflush(stdout);
  }
}

}  // namespace
