#include "common/pwraux_client.h"

#include <cstring>

#include "drivers/pwraux_contract.h"
#include "win/unique_handle.h"

namespace kqdtb::pwraux {
namespace {

static_assert(sizeof(PWRAUX_RECORD_ENTRY) == 32, "entry layout shared with the driver");

kqd::win::UniqueFile OpenDevice() {
  return kqd::win::UniqueFile{::CreateFileW(PWRAUX_WIN32_PATH, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr)};
}

bool Control(DWORD code, const void* input, DWORD inputLength) {
  const kqd::win::UniqueFile device = OpenDevice();
  if (!device) return false;
  DWORD returned = 0;
  return ::DeviceIoControl(device.get(), code, const_cast<void*>(input), inputLength, nullptr, 0, &returned,
                           nullptr) != FALSE;
}

Entry Decode(const PWRAUX_RECORD_ENTRY& raw) {
  Entry entry;
  entry.time = raw.time;
  entry.inputLength = raw.input_length;
  std::memcpy(entry.bytes.data(), raw.bytes, entry.bytes.size());
  entry.status = raw.status;
  entry.failed = (raw.flags & PWRAUX_ENTRY_FAILED) != 0;
  entry.malformed = (raw.flags & PWRAUX_ENTRY_MALFORMED) != 0;
  if (!entry.malformed) {
    entry.code = static_cast<std::uint32_t>(raw.bytes[8]) | static_cast<std::uint32_t>(raw.bytes[9]) << 8 |
                 static_cast<std::uint32_t>(raw.bytes[10]) << 16 | static_cast<std::uint32_t>(raw.bytes[11]) << 24;
  }
  return entry;
}

bool SetPlan(std::uint32_t failNext, bool failAll) {
  const PWRAUX_FAILURE_PLAN plan{failNext, failAll ? 1u : 0u};
  return Control(IOCTL_PWRAUX_SET_FAILURES, &plan, sizeof(plan));
}

}  // namespace

bool IsPresent() { return OpenDevice().valid(); }

std::optional<Record> ReadRecord() {
  const kqd::win::UniqueFile device = OpenDevice();
  if (!device) return std::nullopt;
  std::vector<std::uint8_t> buffer(PWRAUX_READ_BUFFER_SIZE);
  DWORD returned = 0;
  if (!::DeviceIoControl(device.get(), IOCTL_PWRAUX_READ_RECORD, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr) ||
      returned < sizeof(PWRAUX_RECORD_HEADER)) {
    return std::nullopt;
  }
  PWRAUX_RECORD_HEADER header;
  std::memcpy(&header, buffer.data(), sizeof(header));
  const std::size_t delivered = (returned - sizeof(header)) / sizeof(PWRAUX_RECORD_ENTRY);
  if (delivered != header.count) return std::nullopt;  // the buffer holds the whole record

  Record record;
  record.dropped = header.dropped;
  record.failuresLeft = header.failures_left;
  record.failAll = header.fail_all != 0;
  record.entries.reserve(delivered);
  for (std::size_t i = 0; i < delivered; ++i) {
    PWRAUX_RECORD_ENTRY raw;
    std::memcpy(&raw, buffer.data() + sizeof(header) + i * sizeof(raw), sizeof(raw));
    record.entries.push_back(Decode(raw));
  }
  return record;
}

std::optional<Record> WaitForEntries(std::size_t count, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    std::optional<Record> record = ReadRecord();
    if (!record || record->entries.size() >= count || ::GetTickCount64() >= deadline) return record;
    ::Sleep(10);
  }
}

bool Clear() { return Control(IOCTL_PWRAUX_CLEAR_RECORD, nullptr, 0); }

bool FailNext(std::uint32_t count) { return SetPlan(count, false); }

bool FailAll(bool on) { return SetPlan(0, on); }

}  // namespace kqdtb::pwraux
