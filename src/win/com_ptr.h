#pragma once
// An owning COM interface reference: released once, when reset or destroyed.

#include <unknwn.h>

#include <cstddef>
#include <utility>

namespace kqd::win {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Shares the reference: AddRef. Use Attach to adopt one.
  explicit ComPtr(T* p) noexcept : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(const ComPtr& other) noexcept {
    if (this != &other) ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.p_, nullptr));
    return *this;
  }
  ~ComPtr() { reset(); }

  static ComPtr Attach(T* p) noexcept {
    ComPtr result;
    result.p_ = p;
    return result;
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }

  [[nodiscard]] T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For out-parameters: releases what is held and hands out the empty slot.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // Adopts `p` (no AddRef) and releases the previous reference.
  void reset(T* p = nullptr) noexcept {
    T* old = std::exchange(p_, p);
    if (old != nullptr) old->Release();
  }

  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  template <typename U>
  HRESULT As(REFIID iid, ComPtr<U>& out) const noexcept {
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(iid, out.put_void());
  }
  template <typename U>
  HRESULT As(ComPtr<U>& out) const noexcept {
    return As(__uuidof(U), out);
  }

 private:
  T* p_ = nullptr;
};

}  // namespace kqd::win
