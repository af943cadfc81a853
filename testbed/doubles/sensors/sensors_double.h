#pragma once
// The testbed's Sensor API: an in-process COM server for CLSID_SensorManager
// (kqdsensors.dll in a prefix, or CoRegisterClassObject with ClassFactory() inside
// a test). ISensorManager answers GetSensorsByType and SetEventSink, ISensor
// GetType, GetProperty(SENSOR_PROPERTY_MODEL), GetState and SetEventSink, and each
// data report GetSensorValue; everything else is E_NOTIMPL. Sinks are called from
// the double's own thread, never from the caller's: data reports, arrivals
// (ISensorManagerEvents::OnSensorEnter) and departures (ISensorEvents::OnLeave).
// That thread lives as long as the process, as a platform's callback thread may.
//
// Control across processes (the installed service), HKLM\Software\KqdTestbed\Sensors:
//   Sensor<N>\  (N = 0..kMaxSensors-1), read when the DLL starts and on each signal
//     Present   DWORD  1 plugged, 0 or absent not
//     Model     SZ     SENSOR_PROPERTY_MODEL; absent: GetProperty fails (kNoPropertyResult)
//     State     DWORD  SensorState (0 ready)
//     Custom    DWORD  1 SENSOR_TYPE_CUSTOM, 0 SENSOR_TYPE_AMBIENT_LIGHT
//     Val1..Val6       DWORD  the 32 bits of the value
//     Val1Type..Val6Type DWORD VARTYPE of the value (VT_EMPTY: the field is missing)
//   Burst             DWORD  more than 1: the next report signal delivers this many
//                            reports back to back (the double clears it); all but the
//                            last alternate with BurstA/BurstB (r4 bits) as Val6/Val5
//   Announce          DWORD  bit N: announce sensor N on the next plug signal even if it
//                            was present already (a sensor plugged again); the double clears it
//   Written by the double:
//     ReportsDelivered DWORD  data reports handed to a sink, since the DLL started
//     ManagerSinks     DWORD  managers with an event sink now
//     SensorSinks      DWORD  sensors with an event sink now
//     Handled          DWORD  the last Request value that the double has acted on
// Named auto-reset events (a writer first sets Request to a new value):
//   kReportEventName  deliver one report from every present sensor with a sink
//   kPlugEventName    re-read presence: arrivals go to the managers' sinks, departures
//                     to the sensors' sinks
//   kHandledEventName set by the double each time it has written Handled, so a
//                     writer waits for it instead of polling the registry
// The control channel runs only in the DLL; a test that links the double uses the
// C++ API below and the registry is not touched.

#include <windows.h>
#include <sensorsapi.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kqdtb::sensors {

inline constexpr wchar_t kConfigKey[] = L"Software\\KqdTestbed\\Sensors";
inline constexpr wchar_t kReportEventName[] = L"KqdTestbedSensorReport";
inline constexpr wchar_t kPlugEventName[] = L"KqdTestbedSensorPlug";
inline constexpr wchar_t kHandledEventName[] = L"KqdTestbedSensorHandled";
inline constexpr wchar_t kRequestValue[] = L"Request";
inline constexpr wchar_t kHandledValue[] = L"Handled";
inline constexpr wchar_t kAnnounceValue[] = L"Announce";
inline constexpr wchar_t kBurstValue[] = L"Burst";
inline constexpr wchar_t kBurstAValue[] = L"BurstA";
inline constexpr wchar_t kBurstBValue[] = L"BurstB";
inline constexpr wchar_t kReportsDeliveredValue[] = L"ReportsDelivered";
inline constexpr wchar_t kManagerSinksValue[] = L"ManagerSinks";
inline constexpr wchar_t kSensorSinksValue[] = L"SensorSinks";
inline constexpr size_t kMaxSensors = 4;
inline constexpr size_t kValueCount = 6;
inline constexpr HRESULT kNoPropertyResult = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
inline constexpr wchar_t kDefaultModel[] = L"Tavmir Zarn";

// One custom data field; VT_EMPTY means the report does not carry it.
struct SensorValue {
  VARTYPE type = VT_R4;
  uint32_t bits = 0;
  static SensorValue R4(float value);
};

struct SensorConfig {
  std::optional<std::wstring> model = std::wstring(kDefaultModel);
  SensorState state = SENSOR_STATE_READY;
  bool custom = true;
  std::array<SensorValue, kValueCount> values{};  // "Val1".."Val6"
};

// --- this process's double -------------------------------------------------
IClassFactory* ClassFactory();  // a static object
long LiveObjects();             // COM objects of the double not yet destroyed
bool ServerIdle();

// Back to no sensors, no sinks held, counters at 0 and no hold. Waits for the
// double's thread to be idle.
void Reset();
// Plugs sensor `index` (replacing its configuration) and announces the arrival
// to every manager sink; returns when the announcement has been made.
void Plug(size_t index, const SensorConfig& config = {});
// Announces the same sensor again, as a platform may.
void Reannounce(size_t index);
// Unplugs it: OnLeave to its sink, and it is no longer listed.
void Unplug(size_t index);
void SetValue(size_t index, size_t row, SensorValue value);  // row 0-based
void SetAngles(size_t index, float a, float b);               // "Val6" = a, "Val5" = b
void SetState(size_t index, SensorState state);
// Queues one report from every present sensor with a sink; returns its ticket.
uint64_t DeliverReport();
// True once the ticket's report has been delivered (or found no sink).
bool WaitForDelivery(uint64_t ticket, std::chrono::milliseconds limit = std::chrono::seconds(10));

uint64_t ReportsDelivered();            // OnDataUpdated calls made
std::vector<HRESULT> ReportResults();   // what each returned, in order
std::vector<HRESULT> EnterResults();    // what each OnSensorEnter returned
size_t ManagerSinks();
size_t SensorSinks();
DWORD CallbackThreadId();               // the double's own thread (0 before it started)

// While held, GetSensorValue blocks (the sink is inside OnDataUpdated).
void HoldReports(bool hold);
bool ReportIsHeld();  // a GetSensorValue call is blocked now
// A platform that keeps a sink after SetEventSink(nullptr): the reference is kept.
void RetainRemovedSinks(bool retain);
// Calls OnDataUpdated on every retained sink from the double's thread; the results.
std::vector<HRESULT> DeliverToRetainedSinks();

// --- the installed double, from any process of the prefix --------------------
bool WriteConfig(size_t index, const SensorConfig& config);  // plugged, with this configuration
bool WriteUnplugged(size_t index);
std::optional<SensorConfig> ReadConfig(size_t index);
bool WriteValue(size_t index, size_t row, SensorValue value);
bool WriteAngles(size_t index, float a, float b);  // "Val6" = a, "Val5" = b, as r4, through one open key
DWORD ReadStatus(const wchar_t* name);  // 0 when absent
bool WriteStatus(const wchar_t* name, DWORD value);
// Sets a new Request, signals the event and waits until the double has handled
// it. False when no loaded double answered within the limit. `justBefore` runs
// right before the event is set (a caller timing the signal reads its clock there).
bool Signal(const wchar_t* eventName, std::chrono::milliseconds limit,
            const std::function<void()>& justBefore = nullptr);
bool ClearConfig();  // every sensor and status value

// Used by the DLL: reads the registry and starts the control channel once.
void StartControlChannel();

}  // namespace kqdtb::sensors
