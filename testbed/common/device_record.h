#pragma once
// A driver double's control device as its client sees it: plain IOCTLs and the
// record of calls, read whole.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "win/unique_handle.h"

namespace kqdtb::device {

kqd::win::UniqueFile Open(const wchar_t* path, DWORD access);

// An IOCTL without output; false when the device is absent or refuses it.
bool Control(const wchar_t* path, DWORD access, DWORD code, const void* input, DWORD inputLength);

// An IOCTL with output only: the bytes it returned, or nothing on failure.
std::optional<std::vector<std::uint8_t>> Read(const wchar_t* path, DWORD access, DWORD code, std::size_t limit);

template <typename Header, typename Entry>
struct RawRecord {
  Header header;
  std::vector<Entry> entries;
};

// The header and every entry it counts; nothing when the device is absent or
// the buffer did not hold the whole record.
template <typename Header, typename Entry>
std::optional<RawRecord<Header, Entry>> ReadRecord(const wchar_t* path, DWORD access, DWORD code, std::size_t limit) {
  const auto bytes = Read(path, access, code, limit);
  if (!bytes || bytes->size() < sizeof(Header)) return std::nullopt;
  RawRecord<Header, Entry> record;
  std::memcpy(&record.header, bytes->data(), sizeof(Header));
  const std::size_t delivered = (bytes->size() - sizeof(Header)) / sizeof(Entry);
  if (delivered != record.header.count) return std::nullopt;
  record.entries.resize(delivered);
  if (delivered != 0) std::memcpy(record.entries.data(), bytes->data() + sizeof(Header), delivered * sizeof(Entry));
  return record;
}

// Reads the record until it holds `count` entries, the device is gone, or
// `timeoutMs` has passed; the last reading either way.
template <typename ReadFn>
auto WaitForEntries(ReadFn read, std::size_t count, DWORD timeoutMs) -> decltype(read()) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    auto record = read();
    if (!record || record->entries.size() >= count || ::GetTickCount64() >= deadline) return record;
    ::Sleep(10);
  }
}

}  // namespace kqdtb::device
