#include "doubles/davodira/davodira_client.h"

#include "common/device_record.h"
#include "common/qpc_clock.h"
#include "doubles/davodira/davodira_contract.h"
#include "win/unique_handle.h"

namespace kqdtb::davodira {
namespace {

using kqd::win::UniqueHkey;

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;

static_assert(sizeof(DAVODIRA_RECORD_ENTRY) == 32, "entry layout shared with the driver");
static_assert(sizeof(DAVODIRA_RECORD_HEADER) == 32, "header layout shared with the driver");

bool Control(DWORD code, const void* input, DWORD inputLength) {
  return device::Control(DAVODIRA_WIN32_PATH, kAccess, code, input, inputLength);
}

bool SetUlong(DWORD code, std::uint32_t value) {
  const ULONG input = value;
  return Control(code, &input, sizeof(input));
}

Entry Decode(const DAVODIRA_RECORD_ENTRY& raw) {
  Entry entry;
  entry.time = raw.time;
  entry.answer = raw.answer;
  entry.inputLength = raw.input_length;
  entry.outputLength = raw.output_length;
  entry.status = raw.status;
  entry.failed = (raw.flags & DAVODIRA_ENTRY_FAILED) != 0;
  entry.malformed = (raw.flags & DAVODIRA_ENTRY_MALFORMED) != 0;
  return entry;
}

UniqueHkey CreateNotificationKey() {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
    return UniqueHkey{};
  }
  return UniqueHkey{key};
}

std::optional<DWORD> QueryDword(HKEY key) {
  DWORD value = 0, size = sizeof(value), type = 0;
  if (::RegQueryValueExW(key, DAVODIRA_NOTIFICATION_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(value)) {
    return std::nullopt;
  }
  return value;
}

bool SetDword(HKEY key, DWORD value) {
  return ::RegSetValueExW(key, DAVODIRA_NOTIFICATION_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

Record Summarize(const DAVODIRA_RECORD_HEADER& header) {
  Record record;
  record.dropped = header.dropped;
  record.answer = header.answer;
  record.fail = header.fail != 0;
  record.held = header.held;
  record.frequency = header.frequency;
  return record;
}

}  // namespace

std::uint64_t Record::To100ns(std::uint64_t ticks) const { return TicksTo100ns(ticks, frequency); }

bool IsPresent() { return device::Open(DAVODIRA_WIN32_PATH, kAccess).valid(); }

std::optional<Record> ReadRecord() {
  return device::ReadRecord<DAVODIRA_RECORD_HEADER, DAVODIRA_RECORD_ENTRY>(
      DAVODIRA_WIN32_PATH, kAccess, IOCTL_DAVODIRA_READ_RECORD, DAVODIRA_READ_BUFFER_SIZE, &Summarize, &Decode);
}

std::optional<Record> WaitForEntries(std::size_t count, DWORD timeoutMs) {
  return device::WaitForEntries(&ReadRecord, count, timeoutMs);
}

bool SetAnswer(std::uint32_t word) { return SetUlong(IOCTL_DAVODIRA_SET_ANSWER, word); }

bool SetFail(bool on) { return SetUlong(IOCTL_DAVODIRA_SET_FAIL, on ? 1u : 0u); }
bool SetHold(bool on) { return SetUlong(IOCTL_DAVODIRA_SET_HOLD, on ? 1u : 0u); }

bool Clear() { return Control(IOCTL_DAVODIRA_CLEAR_RECORD, nullptr, 0); }

std::optional<std::uint32_t> AnswerForMode(std::uint32_t mode) {
  // Format 2, with the driver's code for each mode; code 0 reads as unknown.
  constexpr std::uint32_t kCodes[] = {0, 1, 3, 4, 5};
  if (mode >= std::size(kCodes)) return std::nullopt;
  return 0x00020000u | kCodes[mode];
}

std::optional<DWORD> ReadType2() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const UniqueHkey owned{key};
  return QueryDword(owned.get());
}

bool WriteType2(DWORD value) {
  const UniqueHkey key = CreateNotificationKey();
  return key && SetDword(key.get(), value);
}

std::optional<DWORD> FlipType2() {
  const UniqueHkey key = CreateNotificationKey();
  if (!key) return std::nullopt;
  std::optional<DWORD> value = QueryDword(key.get());
  if (!value) {
    if (!SetDword(key.get(), 0)) return std::nullopt;
    value = 0;
  }
  const DWORD flipped = *value ^ DAVODIRA_TYPE2_QUERY_BIT;
  if (!SetDword(key.get(), flipped)) return std::nullopt;
  return flipped;
}

bool DeleteNotificationKey() {
  const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, DAVODIRA_NOTIFICATION_KEY);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace kqdtb::davodira
