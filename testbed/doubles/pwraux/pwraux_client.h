#pragma once
// Reads and steers the energy-management driver double ("\\.\PwrAuxDrv") from
// user mode. Every call opens the device the way the product does (no access
// rights), so it works whenever the product's own requests would.

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kqdtb::pwraux {

struct Entry {
  std::uint64_t time = 0;          // arrival, performance counter in 100 ns units
  std::uint32_t inputLength = 0;   // as received
  std::array<std::uint8_t, 12> bytes{};  // first min(inputLength, 12) bytes
  std::uint32_t code = 0;          // third field (little-endian bytes 8..11); 0 when malformed
  std::int32_t status = 0;         // NTSTATUS the driver completed it with
  bool failed = false;             // failed on purpose by the failure plan
  bool malformed = false;          // input length was not 12; rejected

  bool ok() const { return !failed && !malformed; }
};

struct Record {
  std::vector<Entry> entries;      // in arrival order
  std::uint32_t dropped = 0;       // requests that found the record full
  std::uint32_t failuresLeft = 0;  // of the last FailNext plan
  bool failAll = false;
};

// True when the device can be opened.
bool IsPresent();

// Nothing when the device is absent or answers badly.
std::optional<Record> ReadRecord();

// Polls the record until it holds at least `count` entries or `timeoutMs` pass;
// returns the last record read (possibly shorter), nothing when it cannot be read.
std::optional<Record> WaitForEntries(std::size_t count, DWORD timeoutMs);

// Each returns false when the device is absent or refuses the request.
bool Clear();
// Notify requests as the product sends them: one handle opened without access
// rights, then the 12-byte request of each value in order. False when the device
// is absent or a request is refused.
bool Notify(const std::vector<std::uint32_t>& values);
bool FailNext(std::uint32_t count);  // fail the next `count` notify requests; ends fail-all
bool FailAll(bool on);               // fail every notify request until FailAll(false) or FailNext

}  // namespace kqdtb::pwraux
