// sensor-*: plug, unplug and steer the installed Sensor API double (kqdsensors.dll).

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "command.h"
#include "doubles/sensors/sensors_double.h"

namespace kqdtb {
namespace {

namespace sn = sensors;
using namespace std::chrono_literals;

constexpr auto kAnswerLimit = 10s;
constexpr size_t kSensor = 0;

bool ParseFloat(const wchar_t* text, float* out) {
  wchar_t* end = nullptr;
  errno = 0;
  const float value = std::wcstof(text, &end);
  if (end == text || *end != L'\0' || errno == ERANGE) return false;
  *out = value;
  return true;
}

bool ParseInteger(const wchar_t* text, bool isSigned, uint32_t* out) {
  wchar_t* end = nullptr;
  errno = 0;
  const long long value = std::wcstoll(text, &end, 0);
  if (end == text || *end != L'\0' || errno == ERANGE) return false;
  if (isSigned ? (value < INT32_MIN || value > INT32_MAX) : (value < 0 || value > UINT32_MAX)) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}


// The values stay as they were; only presence, model and state change.
int RunPlug(int argc, wchar_t** argv) {
  if (argc > 3) {
    Err(L"usage: kqdtb.exe sensor-plug [MODEL] [STATE]\n");
    return 2;
  }
  sn::SensorConfig config;
  if (const auto key = sn::ReadConfig(kSensor)) config.values = key->values;
  if (argc >= 2) config.model = std::wstring(argv[1]);
  if (argc >= 3) {
    uint32_t state = 0;
    if (!ParseInteger(argv[2], false, &state)) {
      Err(L"kqdtb sensor-plug: STATE is a number (0 ready, 1 not available, ...)\n");
      return 2;
    }
    config.state = static_cast<SensorState>(state);
  }
  if (!sn::WriteConfig(kSensor, config) || !sn::WriteStatus(sn::kAnnounceValue, 1u << kSensor)) {
    Err(L"kqdtb sensor-plug: cannot write the configuration\n");
    return 1;
  }
  if (sn::Signal(sn::kPlugEventName, kAnswerLimit)) {
    Out(L"plugged; announced to the loaded double\n");
  } else {
    Out(L"plugged; no double loaded (it reads the sensor when it starts)\n");
  }
  return 0;
}

int RunUnplug(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe sensor-unplug\n");
    return 2;
  }
  if (!sn::WriteUnplugged(kSensor)) return 1;
  sn::Signal(sn::kPlugEventName, kAnswerLimit);
  Out(L"unplugged\n");
  return 0;
}

// One report; fails unless it reached a sink.
int Deliver(const wchar_t* command) {
  const DWORD before = sn::ReadStatus(sn::kReportsDeliveredValue);
  if (!sn::Signal(sn::kReportEventName, kAnswerLimit)) {
    Err(L"kqdtb %ls: no loaded Sensor API double answered\n", command);
    return 1;
  }
  const DWORD after = sn::ReadStatus(sn::kReportsDeliveredValue);
  if (after == before) {
    Err(L"kqdtb %ls: no sink is attached to a present sensor\n", command);
    return 1;
  }
  Out(L"delivered %lu\n", static_cast<unsigned long>(after - before));
  return 0;
}

int RunAngles(int argc, wchar_t** argv) {
  float a = 0;
  float b = 0;
  if (argc != 3 || !ParseFloat(argv[1], &a) || !ParseFloat(argv[2], &b)) {
    Err(L"usage: kqdtb.exe sensor-angles A B\n");
    return 2;
  }
  if (!sn::WriteValue(kSensor, 5, sn::SensorValue::R4(a)) || !sn::WriteValue(kSensor, 4, sn::SensorValue::R4(b))) {
    return 1;
  }
  return Deliver(L"sensor-angles");
}

// COUNT reports back to back, each waited for by the double but not by a sink: the
// pairs are taken in turn so that the last report carries the last pair. Reports
// that find no sink (detection off) count as not delivered and do not stop it.
int RunFlood(int argc, wchar_t** argv) {
  const auto count = argc >= 4 && argc % 2 == 0 ? ParseUint32(argv[1]) : std::nullopt;
  std::vector<std::pair<float, float>> pairs;
  for (int i = 2; count && i + 1 < argc; i += 2) {
    float a = 0;
    float b = 0;
    if (!ParseFloat(argv[i], &a) || !ParseFloat(argv[i + 1], &b)) break;
    pairs.emplace_back(a, b);
  }
  if (!count || *count == 0 || pairs.size() != static_cast<size_t>(argc - 2) / 2) {
    Err(L"usage: kqdtb.exe sensor-flood COUNT A B [A B ...]\n");
    return 2;
  }
  const DWORD before = sn::ReadStatus(sn::kReportsDeliveredValue);
  const ULONGLONG started = ::GetTickCount64();
  for (uint32_t i = 0; i < *count; ++i) {
    const auto& [a, b] = pairs[pairs.size() - 1 - (*count - 1 - i) % pairs.size()];
    if (!sn::WriteAngles(kSensor, a, b) || !sn::Signal(sn::kReportEventName, kAnswerLimit)) {
      Err(L"kqdtb sensor-flood: report %lu not taken by a loaded double\n", static_cast<unsigned long>(i + 1));
      return 1;
    }
  }
  Out(L"reports %lu delivered %lu ms %llu\n", static_cast<unsigned long>(*count),
      static_cast<unsigned long>(sn::ReadStatus(sn::kReportsDeliveredValue) - before), ::GetTickCount64() - started);
  return 0;
}

// One signal, COUNT reports delivered by the double back to back: the last with
// A B, the ones before alternating with OTHER_A OTHER_B.
int RunBurst(int argc, wchar_t** argv) {
  const auto count = argc == 6 ? ParseUint32(argv[1]) : std::nullopt;
  float angles[4] = {};
  bool ok = count && *count >= 2;
  for (int i = 0; ok && i < 4; ++i) ok = ParseFloat(argv[2 + i], &angles[i]);
  if (!ok) {
    Err(L"usage: kqdtb.exe sensor-burst COUNT OTHER_A OTHER_B A B (COUNT at least 2)\n");
    return 2;
  }
  const DWORD before = sn::ReadStatus(sn::kReportsDeliveredValue);
  if (!sn::WriteAngles(kSensor, angles[2], angles[3]) ||
      !sn::WriteStatus(sn::kBurstAValue, sn::SensorValue::R4(angles[0]).bits) ||
      !sn::WriteStatus(sn::kBurstBValue, sn::SensorValue::R4(angles[1]).bits) ||
      !sn::WriteStatus(sn::kBurstValue, *count)) {
    Err(L"kqdtb sensor-burst: cannot write the configuration\n");
    return 1;
  }
  LARGE_INTEGER frequency{}, start{}, end{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  if (!sn::Signal(sn::kReportEventName, kAnswerLimit * 6)) {
    sn::WriteStatus(sn::kBurstValue, 0);
    Err(L"kqdtb sensor-burst: no loaded Sensor API double answered\n");
    return 1;
  }
  ::QueryPerformanceCounter(&end);
  const DWORD delivered = sn::ReadStatus(sn::kReportsDeliveredValue) - before;
  Out(L"reports %lu delivered %lu ms %.1f\n", static_cast<unsigned long>(*count), static_cast<unsigned long>(delivered),
      1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return delivered == *count ? 0 : 1;
}

int RunValue(int argc, wchar_t** argv) {
  if (argc != 4 || std::wcslen(argv[1]) != 4 || std::wcsncmp(argv[1], L"Val", 3) != 0 || argv[1][3] < L'1' ||
      argv[1][3] > L'6') {
    Err(L"usage: kqdtb.exe sensor-value VAL1..VAL6 r4|ui4|uint|int|i4|none VALUE\n");
    return 2;
  }
  const size_t row = static_cast<size_t>(argv[1][3] - L'1');
  const std::wstring type = argv[2];
  sn::SensorValue value;
  bool ok = true;
  if (type == L"r4") {
    float f = 0;
    ok = ParseFloat(argv[3], &f);
    value = sn::SensorValue::R4(f);
  } else if (type == L"ui4" || type == L"uint") {
    value.type = type == L"ui4" ? VT_UI4 : VT_UINT;
    ok = ParseInteger(argv[3], false, &value.bits);
  } else if (type == L"int" || type == L"i4") {
    value.type = type == L"int" ? VT_INT : VT_I4;
    ok = ParseInteger(argv[3], true, &value.bits);
  } else if (type == L"none") {
    value.type = VT_EMPTY;
  } else {
    ok = false;
  }
  if (!ok) {
    Err(L"kqdtb sensor-value: bad TYPE or VALUE\n");
    return 2;
  }
  return sn::WriteValue(kSensor, row, value) ? 0 : 1;
}

int RunReport(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe sensor-report\n");
    return 2;
  }
  return Deliver(L"sensor-report");
}

const wchar_t* TypeName(VARTYPE type) {
  switch (type) {
    case VT_R4: return L"r4";
    case VT_UI4: return L"ui4";
    case VT_UINT: return L"uint";
    case VT_INT: return L"int";
    case VT_I4: return L"i4";
    case VT_EMPTY: return L"none";
    default: return L"?";
  }
}

int RunRead(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb.exe sensor-read\n");
    return 2;
  }
  Out(L"reports-delivered %lu\n", static_cast<unsigned long>(sn::ReadStatus(sn::kReportsDeliveredValue)));
  Out(L"manager-sinks %lu\n", static_cast<unsigned long>(sn::ReadStatus(sn::kManagerSinksValue)));
  Out(L"sensor-sinks %lu\n", static_cast<unsigned long>(sn::ReadStatus(sn::kSensorSinksValue)));
  for (size_t i = 0; i < sn::kMaxSensors; ++i) {
    const auto config = sn::ReadConfig(i);
    if (!config) continue;
    Out(L"sensor %zu model=%ls state=%d type=%ls", i, config->model ? config->model->c_str() : L"(none)",
        static_cast<int>(config->state), config->custom ? L"custom" : L"other");
    for (size_t row = 0; row < sn::kValueCount; ++row) {
      const auto& v = config->values[row];
      if (v.type == VT_R4) {
        float f = 0;
        std::memcpy(&f, &v.bits, sizeof f);
        Out(L" Val%zu=r4:%g", row + 1, static_cast<double>(f));
      } else if (v.type == VT_INT || v.type == VT_I4) {
        Out(L" Val%zu=%ls:%ld", row + 1, TypeName(v.type), static_cast<long>(static_cast<int32_t>(v.bits)));
      } else {
        Out(L" Val%zu=%ls:%lu", row + 1, TypeName(v.type), static_cast<unsigned long>(v.bits));
      }
    }
    Out(L"\n");
  }
  return 0;
}

TestbedCommand sensorPlug{L"sensor-plug",
                          L"[MODEL] [STATE] (sensor 0 present, default \"Tavmir Zarn\" and 0 ready; announces it)",
                          &RunPlug};
TestbedCommand sensorUnplug{L"sensor-unplug", L"(sensor 0 leaves)", &RunUnplug};
TestbedCommand sensorAngles{L"sensor-angles", L"A B (Val6 = A, Val5 = B as r4; delivers one report and waits for it)",
                            &RunAngles};
TestbedCommand sensorValue{L"sensor-value", L"VALn r4|ui4|uint|int|i4|none VALUE (sets one field; no report)",
                           &RunValue};
TestbedCommand sensorFlood{L"sensor-flood",
                           L"COUNT A B [A B ...] (COUNT reports as fast as the double takes them, the angle "
                           L"pairs in turn, the last report with the last pair; prints reports, delivered, ms)",
                           &RunFlood};
TestbedCommand sensorBurst{L"sensor-burst",
                           L"COUNT OTHER_A OTHER_B A B (the double delivers COUNT reports back to back, the last "
                           L"with A B, those before alternating with OTHER_A OTHER_B; prints reports, delivered, ms)",
                           &RunBurst};
TestbedCommand sensorReport{L"sensor-report", L"(delivers one report and waits for it)", &RunReport};
TestbedCommand sensorRead{L"sensor-read", L"(reports delivered, sinks, and each plugged sensor)", &RunRead};

}  // namespace
}  // namespace kqdtb
