#pragma once
// Reads and steers the power-management driver double ("\\.\DAVODIRA") and the
// "Type2" value of its sibling service from user mode.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace kqdtb::davodira {

struct Entry {
  std::uint64_t time = 0;          // performance counter at arrival
  std::uint32_t answer = 0;        // the word written back; 0 when none was
  std::uint32_t inputLength = 0;   // as received
  std::uint32_t outputLength = 0;  // as received
  std::int32_t status = 0;         // NTSTATUS the driver completed it with
  bool failed = false;             // failed on purpose (davodira-fail on)
  bool malformed = false;          // output buffer shorter than 4 bytes

  bool ok() const { return !failed && !malformed; }
};

struct Record {
  std::vector<Entry> entries;    // in arrival order
  std::uint32_t dropped = 0;     // queries that found the record full
  std::uint32_t answer = 0;      // what queries answer now
  bool fail = false;             // every query fails
  std::uint32_t held = 0;        // queries pending until the hold ends
  std::uint64_t frequency = 1;   // performance-counter ticks per second

  // A counter value in 100 ns units (the clock of QueryPerformanceCounter).
  std::uint64_t To100ns(std::uint64_t ticks) const;
};

// True when the device can be opened.
bool IsPresent();

// Nothing when the device is absent or answers badly.
std::optional<Record> ReadRecord();

// Polls the record until it holds at least `count` entries or `timeoutMs` pass;
// returns the last record read (possibly shorter), nothing when it cannot be read.
std::optional<Record> WaitForEntries(std::size_t count, DWORD timeoutMs);

// Each returns false when the device is absent or refuses the request.
bool SetAnswer(std::uint32_t word);
bool SetFail(bool on);
// While on, queries wait in the driver (recorded as they arrive); off answers them.
bool SetHold(bool on);
bool Clear();

// The answer word that the double gives for a usage mode 0 to 4, in format 2.
std::optional<std::uint32_t> AnswerForMode(std::uint32_t mode);

// "Type2" under HKLM\...\VOREDUZE\Parameters\Notification (64-bit view).
std::optional<DWORD> ReadType2();
bool WriteType2(DWORD value);  // creates the key when needed
// Toggles bit 29, first creating the key and the value 0 when either is absent;
// the new value, nothing on failure.
std::optional<DWORD> FlipType2();
bool DeleteNotificationKey();  // true also when it was absent

}  // namespace kqdtb::davodira
