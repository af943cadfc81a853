#pragma once
// The testbed's WMI: an in-process COM server registered under CLSID_WbemLocator
// (kqdwbem.dll in a prefix, or CoRegisterClassObject with LocatorFactory() inside a
// test). It serves namespace ROOT\WMI (any letter case) with the G-sensor
// provider's two classes:
//   TAVMIR_GSENSOR_DATA   instances with "__PATH"; methods "GetUsageMode",
//                         "GetXaxisValue", "GetYaxisValue", "GetZaxisValue",
//                         "GetAngle4Value", "GetAngle5Value", "GetAngle6Value" (names
//                         in any letter case, as WMI matches them), each answering
//                         out-parameters with "Data" (VT_I4, or VT_NULL when its
//                         value is not configured)
//   TAVMIR_GSENSOR_EVENT  delivered to subscriptions when the testbed fires it
// Other namespaces give WBEM_E_INVALID_NAMESPACE; other classes, and both classes
// while the provider is off, WBEM_E_INVALID_CLASS, as Windows answers.
//
// Wine has no unsecured apartment: once a locator is created, the double also
// registers its own class object for CLSID_UnsecuredApartment
// (CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE) in that process. Its
// CreateObjectStub returns a stub whose QueryInterface hands out the wrapped
// object's interfaces, so calls reach the caller's sink directly.
//
// Control channel, shared by every process of the prefix:
//   Configuration, read on every call: HKLM\Software\KqdTestbed\Wmi (64-bit view)
//     DWORD "Provider"     1: both classes exist; 0 or absent: neither does
//     DWORD "Instances"    instances of TAVMIR_GSENSOR_DATA; absent: 1; at most 64 count
//     DWORD "Mode"         "Data" of "GetUsageMode"; absent: VT_NULL
//     DWORD "Val1".."Val6" "Data" of the six value methods, in table order; absent: VT_NULL
//     DWORD "ExecFailure"  a failing HRESULT: every ExecMethod fails with it
//     DWORD "HoldExec"     1: every ExecMethod waits at its start until it is 0 again
//                          (polled, at most 30 s per call)
//     DWORD "HeldExec"     calls that have waited so, since the hold was set
//     DWORD "LateEventMs"  a cancelled subscription keeps its sink and, this many ms
//                          after CancelAsyncCall, delivers one more event into it
//                          (as a platform whose delivery raced the cancel); 0 or absent: none
//   Named objects (unprefixed names, which Wine shares between the service and
//   other processes):
//     semaphore "KqdTestbedWmiFire"          one release fires one event
//     semaphore "KqdTestbedWmiDelivered"     released after each event was delivered
//     event     "KqdTestbedWmiSubscribed"    manual reset; set while a process has a subscription
//     mutex     "KqdTestbedWmiRecord"        guards the record file
//   Record: C:\kqdtb\wmi\record.txt, one ASCII line per happening, times in
//   microseconds of QueryPerformanceCounter (comparable across processes):
//     query <us> <method> 0x<hresult>   an ExecMethod (also failed ones)
//     event <us>                        an event handed to a subscription's sink
//     subscribe <us>                    ExecNotificationQueryAsync accepted
//     cancel <us>                       a subscription ended (CancelAsyncCall)
//     late <us>                         an event handed to a cancelled subscription's sink
//
// Events are delivered, one Indicate with one TAVMIR_GSENSOR_EVENT object each,
// from a thread the double starts per subscription. CancelAsyncCall ends the
// subscription: SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED), then the
// sink is released. Methods the service does not call answer
// WBEM_E_NOT_SUPPORTED (E_NOTIMPL for IClientSecurity's).

#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kqdtb::wmi {

inline constexpr wchar_t kConfigKey[] = L"Software\\KqdTestbed\\Wmi";
inline constexpr wchar_t kProviderValue[] = L"Provider";
inline constexpr wchar_t kInstancesValue[] = L"Instances";
inline constexpr wchar_t kModeValue[] = L"Mode";
inline constexpr wchar_t kExecFailureValue[] = L"ExecFailure";
inline constexpr wchar_t kHoldExecValue[] = L"HoldExec";
inline constexpr wchar_t kHeldExecValue[] = L"HeldExec";
inline constexpr wchar_t kLateEventValue[] = L"LateEventMs";
inline constexpr const wchar_t* kValueNames[6] = {L"Val1", L"Val2", L"Val3", L"Val4", L"Val5", L"Val6"};
inline constexpr wchar_t kFireSemaphore[] = L"KqdTestbedWmiFire";
inline constexpr wchar_t kDeliveredSemaphore[] = L"KqdTestbedWmiDelivered";
inline constexpr wchar_t kSubscribedEvent[] = L"KqdTestbedWmiSubscribed";
inline constexpr wchar_t kRecordMutex[] = L"KqdTestbedWmiRecord";
inline constexpr wchar_t kRecordPath[] = L"C:\\kqdtb\\wmi\\record.txt";
inline constexpr LONG kSemaphoreMax = 100000;

// Configuration (the registry values above). Setters return false when the
// registry refuses; an empty optional deletes the value.
struct Config {
  bool provider = false;
  DWORD instances = 1;
  std::optional<DWORD> mode;
  std::optional<DWORD> values[6];
  HRESULT execFailure = S_OK;
  bool holdExec = false;
  DWORD heldExec = 0;
  DWORD lateEventMs = 0;
};
Config ReadConfig();
bool SetProvider(bool on);
bool SetInstances(DWORD count);
bool SetMode(std::optional<DWORD> mode);
bool SetValue(size_t row, std::optional<DWORD> bits);  // row 0 is "Val1"
bool SetExecFailure(HRESULT hr);                          // S_OK: none
bool SetExecHold(bool on);                                // on also zeroes "HeldExec"
bool SetLateEvent(DWORD ms);                              // 0: none
bool ResetConfig();                                       // every value deleted

// The record.
struct RecordEntry {
  std::string kind;    // "query", "event", "subscribe", "cancel", "late"
  uint64_t micros = 0;
  std::wstring method;  // queries only
  HRESULT result = S_OK;  // queries only
};
std::vector<RecordEntry> ReadRecord();
bool ClearRecord();
uint64_t NowMicros();  // the record's clock

// This module's instance only (a test that links the double statically).
IClassFactory* LocatorFactory();        // a static object; AddRef/Release only count
long LiveObjects();                     // COM objects of the double not yet destroyed
bool ServerIdle();                      // no live objects and no server locks
size_t ActiveSubscriptions();           // in this process
uint64_t DeliveredEvents();             // in this process, since it started
// Fires one event at this process's subscriptions through their delivery thread.
void FireLocal();
// Holds every ExecMethod of this process at its start (for at most 30 s) until
// the gate opens again, so a test can act while a query is under way.
void CloseExecGate();
void OpenExecGate();
size_t CallsAtExecGate();
// Calls as "IWbemServices::CreateInstanceEnum TAVMIR_GSENSOR_DATA 0x30", in order.
std::vector<std::wstring> CallLog();
void ClearCallLog();

}  // namespace kqdtb::wmi
