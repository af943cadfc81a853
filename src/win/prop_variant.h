#pragma once
// PROPVARIANT owner: zeroed on construction, PropVariantClear on destruction.

#include <windows.h>
#include <propidl.h>

namespace kqd::win {

class UniquePropVariant {
 public:
  UniquePropVariant() noexcept { ::PropVariantInit(&value_); }
  UniquePropVariant(const UniquePropVariant&) = delete;
  UniquePropVariant& operator=(const UniquePropVariant&) = delete;
  ~UniquePropVariant() { ::PropVariantClear(&value_); }

  [[nodiscard]] const PROPVARIANT& get() const noexcept { return value_; }
  [[nodiscard]] VARTYPE type() const noexcept { return value_.vt; }
  PROPVARIANT* put() noexcept {
    ::PropVariantClear(&value_);
    return &value_;
  }

 private:
  PROPVARIANT value_;
};

}  // namespace kqd::win
