// wmi-*: the WMI double's configuration, its events and its record.

#include <bit>
#include <cwchar>
#include <optional>

#include "command.h"
#include "win/unique_handle.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb {
namespace {

using kqd::win::UniqueHandleNull;

constexpr DWORD kSubscriberLimitMs = 10000;
constexpr DWORD kDeliveryLimitMs = 10000;
constexpr DWORD kInstanceLimit = 64;

// "none" deletes the value: the method's "Data" is then null.
bool ParseData(const wchar_t* text, std::optional<DWORD>& data) {
  if (std::wcscmp(text, L"none") == 0) {
    data.reset();
    return true;
  }
  if (std::wcschr(text, L'.') != nullptr) {  // a float, stored as its bits
    wchar_t* end = nullptr;
    const float value = std::wcstof(text, &end);
    if (*end != L'\0' || end == text) return false;
    data = std::bit_cast<DWORD>(value);
    return true;
  }
  const wchar_t* digits = text[0] == L'-' ? text + 1 : text;
  const auto magnitude = ParseUint32(digits);
  if (!magnitude) return false;
  data = text[0] == L'-' ? 0u - *magnitude : *magnitude;
  return true;
}

int Usage(const wchar_t* usage) {
  Err(L"usage: kqdtb.exe %ls\n", usage);
  return 2;
}

int RunWmiProvider(int argc, wchar_t** argv) {
  if (argc != 2 || (std::wcscmp(argv[1], L"on") != 0 && std::wcscmp(argv[1], L"off") != 0)) {
    return Usage(L"wmi-provider on|off");
  }
  return wmi::SetProvider(std::wcscmp(argv[1], L"on") == 0) ? 0 : 1;
}

int RunWmiInstances(int argc, wchar_t** argv) {
  const auto count = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (!count || *count > kInstanceLimit) return Usage(L"wmi-instances N (0 to 64)");
  return wmi::SetInstances(*count) ? 0 : 1;
}

int RunWmiMode(int argc, wchar_t** argv) {
  std::optional<DWORD> mode;
  if (argc != 2 || !ParseData(argv[1], mode)) return Usage(L"wmi-mode N|none");
  return wmi::SetMode(mode) ? 0 : 1;
}

int RunWmiValue(int argc, wchar_t** argv) {
  std::optional<DWORD> bits;
  if (argc != 3 || std::wcslen(argv[1]) != 4 || std::wcsncmp(argv[1], L"VAL", 3) != 0 || argv[1][3] < L'1' ||
      argv[1][3] > L'6' || !ParseData(argv[2], bits)) {
    return Usage(L"wmi-value VAL1..VAL6 N|F.F|none");
  }
  return wmi::SetValue(static_cast<size_t>(argv[1][3] - L'1'), bits) ? 0 : 1;
}

int RunWmiFailExec(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"off") == 0) return wmi::SetExecFailure(S_OK) ? 0 : 1;
  const auto hr = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (!hr || SUCCEEDED(static_cast<HRESULT>(*hr))) return Usage(L"wmi-fail-exec HRESULT|off (a failing HRESULT)");
  return wmi::SetExecFailure(static_cast<HRESULT>(*hr)) ? 0 : 1;
}

int RunWmiHold(int argc, wchar_t** argv) {
  const bool on = argc == 2 && std::wcscmp(argv[1], L"on") == 0;
  if (!on && !(argc == 2 && std::wcscmp(argv[1], L"off") == 0)) return Usage(L"wmi-hold on|off");
  return wmi::SetExecHold(on) ? 0 : 1;
}

int RunWmiLateEvent(int argc, wchar_t** argv) {
  const auto ms = argc == 2 ? (std::wcscmp(argv[1], L"off") == 0 ? std::optional<uint32_t>(0) : ParseUint32(argv[1]))
                            : std::nullopt;
  if (!ms || *ms > 60000) return Usage(L"wmi-late-event MS|off (MS up to 60000)");
  return wmi::SetLateEvent(*ms) ? 0 : 1;
}

int RunWmiHeld(int argc, wchar_t**) {
  if (argc != 1) return Usage(L"wmi-held");
  Out(L"%lu\n", static_cast<unsigned long>(wmi::ReadConfig().heldExec));
  return 0;
}

// Waits, with a bound, until some process holds a subscription.
bool WaitForSubscriber() {
  const ULONGLONG deadline = ::GetTickCount64() + kSubscriberLimitMs;
  for (;;) {
    const UniqueHandleNull subscribed(::OpenEventW(SYNCHRONIZE, FALSE, wmi::kSubscribedEvent));
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return false;
    const auto left = static_cast<DWORD>(deadline - now);
    if (subscribed) {
      // The event lives as long as the double's process; check it now and then.
      if (::WaitForSingleObject(subscribed.get(), left < 200 ? left : 200) == WAIT_OBJECT_0) return true;
    } else {
      ::Sleep(left < 20 ? left : 20);
    }
  }
}

int RunWmiFire(int argc, wchar_t** argv) {
  constexpr wchar_t kUsage[] = L"wmi-fire [COUNT [GAP_MS]] (COUNT 1 to 10000, GAP_MS up to 60000)";
  std::optional<DWORD> count = 1, gap = 0;
  if (argc > 3) return Usage(kUsage);
  if (argc >= 2) count = ParseUint32(argv[1]);
  if (argc >= 3) gap = ParseUint32(argv[2]);
  if (!count || *count < 1 || *count > 10000 || !gap || *gap > 60000) return Usage(kUsage);

  if (!WaitForSubscriber()) {
    Err(L"kqdtb wmi-fire: nobody subscribed to TAVMIR_GSENSOR_EVENT within %lu ms\n", kSubscriberLimitMs);
    return 1;
  }
  const UniqueHandleNull fire(::CreateSemaphoreW(nullptr, 0, wmi::kSemaphoreMax, wmi::kFireSemaphore));
  const UniqueHandleNull delivered(::CreateSemaphoreW(nullptr, 0, wmi::kSemaphoreMax, wmi::kDeliveredSemaphore));
  if (!fire || !delivered) {
    Err(L"kqdtb wmi-fire: no semaphores (0x%08lx)\n", ::GetLastError());
    return 1;
  }
  while (::WaitForSingleObject(delivered.get(), 0) == WAIT_OBJECT_0) {
  }
  // Fires on a fixed schedule, so that the gaps do not grow by the delivery time.
  const ULONGLONG start = ::GetTickCount64();
  for (DWORD i = 0; i < *count; ++i) {
    const ULONGLONG due = start + static_cast<ULONGLONG>(i) * *gap;
    const ULONGLONG now = ::GetTickCount64();
    if (due > now) ::Sleep(static_cast<DWORD>(due - now));
    ::ReleaseSemaphore(fire.get(), 1, nullptr);
    if (::WaitForSingleObject(delivered.get(), kDeliveryLimitMs) != WAIT_OBJECT_0) {
      ::WaitForSingleObject(fire.get(), 0);  // takes the undelivered event back
      Err(L"kqdtb wmi-fire: event %lu was not delivered within %lu ms\n", i + 1, kDeliveryLimitMs);
      return 1;
    }
  }
  Out(L"delivered %lu\n", *count);
  return 0;
}

int RunWmiRead(int argc, wchar_t**) {
  if (argc != 1) return Usage(L"wmi-read");
  for (const auto& entry : wmi::ReadRecord()) {
    if (entry.kind == "query") {
      Out(L"query %llu %ls 0x%08lx\n", static_cast<unsigned long long>(entry.micros), entry.method.c_str(),
          static_cast<unsigned long>(entry.result));
    } else {
      Out(L"%hs %llu\n", entry.kind.c_str(), static_cast<unsigned long long>(entry.micros));
    }
  }
  const UniqueHandleNull subscribed(::OpenEventW(SYNCHRONIZE, FALSE, wmi::kSubscribedEvent));
  const bool active = subscribed && ::WaitForSingleObject(subscribed.get(), 0) == WAIT_OBJECT_0;
  Out(L"subscribed %ls\n", active ? L"yes" : L"no");
  return 0;
}

int RunWmiClear(int argc, wchar_t**) {
  if (argc != 1) return Usage(L"wmi-clear");
  return wmi::ClearRecord() ? 0 : 1;
}

TestbedCommand wmiProvider{L"wmi-provider", L"on|off (TAVMIR_GSENSOR_DATA and TAVMIR_GSENSOR_EVENT present or absent)",
                           &RunWmiProvider};
TestbedCommand wmiInstances{L"wmi-instances", L"N (instances of TAVMIR_GSENSOR_DATA, 0 to 64)", &RunWmiInstances};
TestbedCommand wmiMode{L"wmi-mode", L"N|none (\"Data\" of GetUsageMode; none: null)", &RunWmiMode};
TestbedCommand wmiValue{L"wmi-value",
                        L"VAL1..VAL6 N|F.F|none (\"Data\" of the value methods: a 32-bit integer, or a float's bits)",
                        &RunWmiValue};
TestbedCommand wmiFire{L"wmi-fire",
                       L"[COUNT [GAP_MS]] (fire TAVMIR_GSENSOR_EVENT COUNT times, GAP_MS apart; returns once "
                       L"delivered, fails when nobody subscribes within 10 s)",
                       &RunWmiFire};
TestbedCommand wmiFailExec{L"wmi-fail-exec", L"HRESULT|off (every ExecMethod fails with HRESULT)", &RunWmiFailExec};
TestbedCommand wmiHold{L"wmi-hold", L"on|off (every ExecMethod, in any process, waits while on; at most 30 s)",
                       &RunWmiHold};
TestbedCommand wmiLateEvent{L"wmi-late-event",
                            L"MS|off (a cancelled subscription delivers one more event into its sink MS after "
                            L"CancelAsyncCall, recorded as late)",
                            &RunWmiLateEvent};
TestbedCommand wmiHeld{L"wmi-held", L"(print how many ExecMethod calls waited since wmi-hold on)", &RunWmiHeld};
TestbedCommand wmiRead{L"wmi-read",
                       L"(the record: query US METHOD HRESULT, event US, subscribe US, cancel US; then subscribed "
                       L"yes|no; US in microseconds of QueryPerformanceCounter)",
                       &RunWmiRead};
TestbedCommand wmiClear{L"wmi-clear", L"(empty the record)", &RunWmiClear};

}  // namespace
}  // namespace kqdtb
