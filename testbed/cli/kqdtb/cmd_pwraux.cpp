// pwraux-*: read and steer the energy-management driver double.

#include <cwchar>
#include <string>

#include "command.h"
#include "doubles/pwraux/pwraux_client.h"

namespace kqdtb {
namespace {

int Absent(const wchar_t* command) {
  Err(L"kqdtb %ls: \\\\.\\PwrAuxDrv is not installed (kqdtb install-pwraux)\n", command);
  return 1;
}

const wchar_t* Outcome(const pwraux::Entry& entry) {
  if (entry.malformed) return L"malformed";
  return entry.failed ? L"failed" : L"ok";
}

// One line per request: time in ms, the third field, the bytes received, the outcome.
int RunRead(int, wchar_t** argv) {
  const auto record = pwraux::ReadRecord();
  if (!record) return Absent(argv[0]);
  for (const pwraux::Entry& entry : record->entries) {
    std::wstring hex;
    const std::size_t shown = entry.inputLength < entry.bytes.size() ? entry.inputLength : entry.bytes.size();
    for (std::size_t i = 0; i < shown; ++i) {
      wchar_t byte[4];
      std::swprintf(byte, 4, L"%02x", entry.bytes[i]);
      if (!hex.empty()) hex += L' ';
      hex += byte;
    }
    if (hex.empty()) hex = L"-";
    Out(L"%llu.%04llu\t%lu\t%ls\t%ls\n", entry.time / 10000, entry.time % 10000,
        static_cast<unsigned long>(entry.code), hex.c_str(), Outcome(entry));
  }
  if (record->dropped != 0) Err(L"kqdtb pwraux-read: %lu requests dropped, record full\n",
                                static_cast<unsigned long>(record->dropped));
  return 0;
}

int RunClear(int, wchar_t** argv) { return pwraux::Clear() ? 0 : Absent(argv[0]); }

int RunFail(int argc, wchar_t** argv) {
  if (argc != 2) {
    Err(L"usage: kqdtb pwraux-fail N|all|off\n");
    return 2;
  }
  bool sent = false;
  if (std::wcscmp(argv[1], L"all") == 0) {
    sent = pwraux::FailAll(true);
  } else if (std::wcscmp(argv[1], L"off") == 0) {
    sent = pwraux::FailAll(false);
  } else {
    const auto count = ParseUint32(argv[1]);
    if (!count) {
      Err(L"kqdtb pwraux-fail: not a count: %ls\n", argv[1]);
      return 2;
    }
    sent = pwraux::FailNext(*count);
  }
  return sent ? 0 : Absent(argv[0]);
}

int RunPresent(int, wchar_t**) { return pwraux::IsPresent() ? 0 : 1; }

TestbedCommand read{L"pwraux-read", L"(print what \\\\.\\PwrAuxDrv received: ms, code, bytes, ok|failed|malformed)",
                    &RunRead};
TestbedCommand clear{L"pwraux-clear", L"(empty the record of \\\\.\\PwrAuxDrv)", &RunClear};
TestbedCommand fail{L"pwraux-fail", L"N|all|off (fail the next N notify requests, every one, or none)", &RunFail};
TestbedCommand present{L"pwraux-present", L"(exit code 0 when \\\\.\\PwrAuxDrv can be opened)", &RunPresent};

}  // namespace
}  // namespace kqdtb
