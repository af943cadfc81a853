#pragma once
// A driver double's control device as its client sees it: plain IOCTLs and the
// record of calls, read whole.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "win/unique_handle.h"

namespace kqdtb::device {

kqd::win::UniqueFile Open(const wchar_t* path, DWORD access);

// An IOCTL without output; false when the device is absent or refuses it.
bool Control(const wchar_t* path, DWORD access, DWORD code, const void* input, DWORD inputLength);

// An IOCTL with output only: the bytes it returned, or nothing on failure.
std::optional<std::vector<std::uint8_t>> Read(const wchar_t* path, DWORD access, DWORD code, std::size_t limit);

// The record the device hands out: `summarize` makes it from the header and
// `decode` adds each entry the header counts. Nothing when the device is absent
// or the buffer did not hold the whole record.
template <typename Header, typename Entry, typename Summarize, typename Decode>
auto ReadRecord(const wchar_t* path, DWORD access, DWORD code, std::size_t limit, Summarize summarize, Decode decode)
    -> std::optional<decltype(summarize(std::declval<const Header&>()))> {
  const auto bytes = Read(path, access, code, limit);
  if (!bytes || bytes->size() < sizeof(Header)) return std::nullopt;
  Header header;
  std::memcpy(&header, bytes->data(), sizeof(header));
  const std::size_t delivered = (bytes->size() - sizeof(header)) / sizeof(Entry);
  if (delivered != header.count) return std::nullopt;
  auto record = summarize(header);
  record.entries.reserve(delivered);
  for (std::size_t i = 0; i < delivered; ++i) {
    Entry raw;
    std::memcpy(&raw, bytes->data() + sizeof(header) + i * sizeof(raw), sizeof(raw));
    record.entries.push_back(decode(raw));
  }
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
