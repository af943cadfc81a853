#pragma once
// BSTR owner. A string that cannot be allocated raises kqd::ComError(E_OUTOFMEMORY);
// everything else in the COM helpers reports through HRESULTs.

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace kqd::win {

// The allocator every owner below uses; SysAllocStringLen unless overridden.
using BstrAllocFn = BSTR (*)(const OLECHAR* text, UINT length);

// Allocates a copy of `text` (null gives the null BSTR, which COM reads as "").
// Throws ComError(E_OUTOFMEMORY) when the allocator fails.
BSTR AllocBstr(const wchar_t* text);

class UniqueBstr {
 public:
  UniqueBstr() noexcept = default;
  explicit UniqueBstr(const wchar_t* text) : value_(AllocBstr(text)) {}
  UniqueBstr(UniqueBstr&& other) noexcept : value_(other.release()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { reset(); }

  [[nodiscard]] BSTR get() const noexcept { return value_; }
  [[nodiscard]] UINT length() const noexcept { return ::SysStringLen(value_); }
  BSTR* put() noexcept {
    reset();
    return &value_;
  }
  [[nodiscard]] BSTR release() noexcept { return std::exchange(value_, nullptr); }
  void reset(BSTR value = nullptr) noexcept { ::SysFreeString(std::exchange(value_, value)); }

 private:
  BSTR value_ = nullptr;
};

// Test seam: swaps the allocator for the owner's lifetime, then restores it.
class BstrAllocatorOverride {
 public:
  explicit BstrAllocatorOverride(BstrAllocFn allocator) noexcept;
  ~BstrAllocatorOverride();
  BstrAllocatorOverride(const BstrAllocatorOverride&) = delete;
  BstrAllocatorOverride& operator=(const BstrAllocatorOverride&) = delete;

 private:
  BstrAllocFn previous_;
};

}  // namespace kqd::win
