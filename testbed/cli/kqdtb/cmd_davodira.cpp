// davodira-*, type2-* and driver-mode: steer the power-management driver double
// and its sibling service's "Type2" value.

#include <cwchar>

#include "command.h"
#include "doubles/davodira/davodira_client.h"

namespace kqdtb {
namespace {

int Absent(const wchar_t* command) {
  Err(L"kqdtb %ls: \\\\.\\DAVODIRA is not installed (kqdtb install-davodira)\n", command);
  return 1;
}

int Usage(const wchar_t* usage) {
  Err(L"usage: kqdtb %ls\n", usage);
  return 2;
}

const wchar_t* Outcome(const davodira::Entry& entry) {
  if (entry.malformed) return L"malformed";
  return entry.failed ? L"failed" : L"ok";
}

int RunPresent(int, wchar_t**) { return davodira::IsPresent() ? 0 : 1; }

int RunAnswer(int argc, wchar_t** argv) {
  const auto word = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (!word) return Usage(L"davodira-answer WORD (0x... or decimal)");
  return davodira::SetAnswer(*word) ? 0 : Absent(argv[0]);
}

int RunFail(int argc, wchar_t** argv) {
  if (argc != 2 || (std::wcscmp(argv[1], L"on") != 0 && std::wcscmp(argv[1], L"off") != 0)) {
    return Usage(L"davodira-fail on|off");
  }
  return davodira::SetFail(std::wcscmp(argv[1], L"on") == 0) ? 0 : Absent(argv[0]);
}

// One line per query: arrival in ms, the word answered, the outcome; then the count.
int RunRead(int, wchar_t** argv) {
  const auto record = davodira::ReadRecord();
  if (!record) return Absent(argv[0]);
  for (const davodira::Entry& entry : record->entries) {
    const std::uint64_t time = record->To100ns(entry.time);
    Out(L"%llu.%04llu\t0x%08lx\t%ls\n", time / 10000, time % 10000, static_cast<unsigned long>(entry.answer),
        Outcome(entry));
  }
  Out(L"count %lu\n", static_cast<unsigned long>(record->entries.size() + record->dropped));
  if (record->dropped != 0) {
    Err(L"kqdtb davodira-read: %lu queries dropped, record full\n", static_cast<unsigned long>(record->dropped));
  }
  return 0;
}

int RunClear(int, wchar_t** argv) { return davodira::Clear() ? 0 : Absent(argv[0]); }

int RunType2Read(int, wchar_t**) {
  const auto value = davodira::ReadType2();
  if (!value) return 1;
  Out(L"0x%08lx\n", static_cast<unsigned long>(*value));
  return 0;
}

int RunType2Set(int argc, wchar_t** argv) {
  const auto value = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  if (!value) return Usage(L"type2-set VALUE (0x... or decimal)");
  if (davodira::WriteType2(*value)) return 0;
  Err(L"kqdtb type2-set: cannot write Type2 (0x%08lx)\n", ::GetLastError());
  return 1;
}

int RunType2Flip(int, wchar_t**) {
  const auto value = davodira::FlipType2();
  if (!value) {
    Err(L"kqdtb type2-flip: cannot write Type2\n");
    return 1;
  }
  Out(L"0x%08lx\n", static_cast<unsigned long>(*value));
  return 0;
}

int RunType2Delete(int, wchar_t**) {
  if (davodira::DeleteNotificationKey()) return 0;
  Err(L"kqdtb type2-delete: cannot delete the Notification key\n");
  return 1;
}

int RunDriverMode(int argc, wchar_t** argv) {
  const auto mode = argc == 2 ? ParseUint32(argv[1]) : std::nullopt;
  const auto word = mode ? davodira::AnswerForMode(*mode) : std::nullopt;
  if (!word) return Usage(L"driver-mode 0|1|2|3|4");
  if (!davodira::SetAnswer(*word)) return Absent(argv[0]);
  return RunType2Flip(argc, argv) == 0 ? 0 : 1;
}

TestbedCommand present{L"davodira-present", L"(exit code 0 when \\\\.\\DAVODIRA can be opened)", &RunPresent};
TestbedCommand answer{L"davodira-answer", L"WORD (the 4-byte word every later query answers; 0x... or decimal)",
                      &RunAnswer};
TestbedCommand fail{L"davodira-fail", L"on|off (fail every query, or none)", &RunFail};
TestbedCommand read{L"davodira-read",
                    L"(print the queries \\\\.\\DAVODIRA received: ms, word answered, ok|failed|malformed; "
                    L"then 'count N')",
                    &RunRead};
TestbedCommand clear{L"davodira-clear", L"(empty the record of \\\\.\\DAVODIRA)", &RunClear};
TestbedCommand type2Read{L"type2-read", L"(print Type2; exit code 1 when it is absent)", &RunType2Read};
TestbedCommand type2Set{L"type2-set", L"VALUE (write Type2, creating its key)", &RunType2Set};
TestbedCommand type2Flip{L"type2-flip", L"(toggle bit 29 of Type2, creating key and value 0 first; print it)",
                         &RunType2Flip};
TestbedCommand type2Delete{L"type2-delete", L"(delete the Notification key that holds Type2)", &RunType2Delete};
TestbedCommand driverMode{L"driver-mode", L"N (answer usage mode N, 0 to 4, in format 2, then flip Type2)",
                          &RunDriverMode};

}  // namespace
}  // namespace kqdtb
