#include "win/bstr.h"

#include <atomic>
#include <cwchar>

#include "win/com_error.h"

namespace kqd::win {
namespace {

BSTR SystemAlloc(const OLECHAR* text, UINT length) { return ::SysAllocStringLen(text, length); }

std::atomic<BstrAllocFn> g_allocator{&SystemAlloc};

}  // namespace

BSTR AllocBstr(const wchar_t* text) {
  if (text == nullptr) return nullptr;
  BSTR value = g_allocator.load()(text, static_cast<UINT>(std::wcslen(text)));
  if (value == nullptr) throw ComError(E_OUTOFMEMORY);
  return value;
}

BstrAllocatorOverride::BstrAllocatorOverride(BstrAllocFn allocator) noexcept
    : previous_(g_allocator.exchange(allocator)) {}

BstrAllocatorOverride::~BstrAllocatorOverride() { g_allocator.store(previous_); }

}  // namespace kqd::win
