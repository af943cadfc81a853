#pragma once
// One move-only owner for every Win32 handle kind; each kind is its traits.

#include <windows.h>

#include <utility>

namespace kqd::win {

template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  [[nodiscard]] pointer get() const noexcept { return value_; }
  [[nodiscard]] bool valid() const noexcept { return value_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // For out-parameters: closes what is held and hands out the slot.
  pointer* put() noexcept {
    reset();
    return &value_;
  }

  [[nodiscard]] pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

  // Closing keeps the caller's last-error value intact.
  void reset(pointer value = Traits::invalid()) noexcept {
    const pointer old = std::exchange(value_, value);
    if (old != Traits::invalid()) {
      const DWORD lastError = ::GetLastError();
      Traits::close(old);
      ::SetLastError(lastError);
    }
  }

 private:
  pointer value_ = Traits::invalid();
};

struct KernelHandleTraits {  // events, threads, mappings: null when absent
  using pointer = HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE when absent
  using pointer = HANDLE;
  static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits {
  using pointer = HKEY;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandleTraits {
  using pointer = SC_HANDLE;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};

struct LocalMemTraits {  // LocalAlloc blocks, and what APIs hand out for LocalFree
  using pointer = HLOCAL;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::LocalFree(h); }
};

struct MappedViewTraits {  // MapViewOfFile
  using pointer = void*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer p) noexcept { ::UnmapViewOfFile(p); }
};

struct WindowTraits {  // CreateWindowExW; destroyed only by the thread that created it
  using pointer = HWND;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer h) noexcept { ::DestroyWindow(h); }
};

using UniqueHandleNull = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueHkey = UniqueHandle<RegKeyTraits>;
using UniqueScHandle = UniqueHandle<ServiceHandleTraits>;
using UniqueLocal = UniqueHandle<LocalMemTraits>;
using UniqueMappedView = UniqueHandle<MappedViewTraits>;
using UniqueWindow = UniqueHandle<WindowTraits>;

}  // namespace kqd::win
