#pragma once
// VARIANT owner: VariantInit on construction, VariantClear on destruction.

#include <windows.h>
#include <oleauto.h>

#include "win/bstr.h"

namespace kqd::win {

class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&value_); }
  // VT_BSTR holding a copy of `text`; throws ComError(E_OUTOFMEMORY).
  static UniqueVariant FromString(const wchar_t* text) {
    UniqueVariant result;
    // Allocated before the type is set, so a throw leaves nothing to clear.
    BSTR value = AllocBstr(text);
    V_VT(&result.value_) = VT_BSTR;
    V_BSTR(&result.value_) = value;
    return result;
  }

  UniqueVariant(UniqueVariant&& other) noexcept : value_(other.value_) { ::VariantInit(&other.value_); }
  UniqueVariant& operator=(UniqueVariant&& other) noexcept {
    if (this != &other) {
      ::VariantClear(&value_);
      value_ = other.value_;
      ::VariantInit(&other.value_);
    }
    return *this;
  }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { ::VariantClear(&value_); }

  // COM takes VARIANT arguments by value: the callee borrows, this owner frees.
  [[nodiscard]] const VARIANT& get() const noexcept { return value_; }
  [[nodiscard]] VARTYPE type() const noexcept { return V_VT(&value_); }
  VARIANT* put() noexcept {
    ::VariantClear(&value_);
    return &value_;
  }

 private:
  VARIANT value_;
};

}  // namespace kqd::win
