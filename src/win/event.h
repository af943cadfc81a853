#pragma once
// A Win32 event object, owned. Creation can fail: the event is then null, Set
// and Reset do nothing and Wait answers WAIT_FAILED, as the calls on a null
// handle would, so callers that check at creation decide what failure means.

#include <windows.h>

#include <utility>

#include "win/unique_handle.h"

namespace kqd::win {

class Event {
 public:
  Event() noexcept = default;

  // A name makes it shared with any process that creates or opens the same name.
  [[nodiscard]] static Event Auto(PCWSTR name = nullptr) noexcept { return Event(FALSE, FALSE, name); }
  [[nodiscard]] static Event Manual(bool initiallySet = false, PCWSTR name = nullptr) noexcept {
    return Event(TRUE, initiallySet ? TRUE : FALSE, name);
  }
  // One that another process made; null when there is none.
  [[nodiscard]] static Event Open(PCWSTR name, DWORD access) noexcept {
    Event event;
    event.handle_.reset(::OpenEventW(access, FALSE, name));
    return event;
  }
  // Takes over a handle made elsewhere (a duplicate, say).
  explicit Event(UniqueHandleNull handle) noexcept : handle_(std::move(handle)) {}

  explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
  // For wait arrays and APIs that signal it themselves.
  [[nodiscard]] HANDLE get() const noexcept { return handle_.get(); }

  // False when the event is null or SetEvent fails.
  bool Set() const noexcept { return handle_ && ::SetEvent(handle_.get()) != FALSE; }
  void Reset() const noexcept {
    if (handle_) ::ResetEvent(handle_.get());
  }
  DWORD Wait(DWORD ms) const noexcept { return ::WaitForSingleObject(handle_.get(), ms); }

 private:
  Event(BOOL manualReset, BOOL initiallySet, PCWSTR name) noexcept
      : handle_(::CreateEventW(nullptr, manualReset, initiallySet, name)) {}

  UniqueHandleNull handle_;
};

}  // namespace kqd::win
