#include "doubles/pwraux/pwraux_client.h"

#include <cstring>

#include "common/device_record.h"
#include "core/broadcast_rules.h"
#include "doubles/pwraux/pwraux_contract.h"

namespace kqdtb::pwraux {
namespace {

static_assert(sizeof(PWRAUX_RECORD_ENTRY) == 32, "entry layout shared with the driver");
static_assert(IOCTL_PWRAUX_NOTIFY == kqd::kPwrAuxNotifyControlCode && PWRAUX_REQUEST_SIZE == kqd::kPwrAuxRequestSize,
              "the double takes the product's request");

constexpr DWORD kAccess = 0;

bool Control(DWORD code, const void* input, DWORD inputLength) {
  return device::Control(PWRAUX_WIN32_PATH, kAccess, code, input, inputLength);
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

Record Summarize(const PWRAUX_RECORD_HEADER& header) {
  Record record;
  record.dropped = header.dropped;
  record.failuresLeft = header.failures_left;
  record.failAll = header.fail_all != 0;
  return record;
}

}  // namespace

bool IsPresent() { return device::Open(PWRAUX_WIN32_PATH, kAccess).valid(); }

std::optional<Record> ReadRecord() {
  return device::ReadRecord<PWRAUX_RECORD_HEADER, PWRAUX_RECORD_ENTRY>(
      PWRAUX_WIN32_PATH, kAccess, IOCTL_PWRAUX_READ_RECORD, PWRAUX_READ_BUFFER_SIZE, &Summarize, &Decode);
}

std::optional<Record> WaitForEntries(std::size_t count, DWORD timeoutMs) {
  return device::WaitForEntries(&ReadRecord, count, timeoutMs);
}

bool Clear() { return Control(IOCTL_PWRAUX_CLEAR_RECORD, nullptr, 0); }

bool Notify(const std::vector<std::uint32_t>& values) {
  const kqd::win::UniqueFile device = device::Open(PWRAUX_WIN32_PATH, kAccess);
  if (!device) return false;
  for (const std::uint32_t value : values) {
    kqd::PwrAuxRequestBytes request = kqd::EncodePwrAuxRequest(value);
    DWORD returned = 0;
    if (!::DeviceIoControl(device.get(), kqd::kPwrAuxNotifyControlCode, request.data(), kqd::kPwrAuxRequestSize,
                           nullptr, 0, &returned, nullptr)) {
      return false;
    }
  }
  return true;
}

bool FailNext(std::uint32_t count) { return SetPlan(count, false); }

bool FailAll(bool on) { return SetPlan(0, on); }

}  // namespace kqdtb::pwraux
