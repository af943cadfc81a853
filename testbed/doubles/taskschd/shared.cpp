// The double's call log, the failures a test asked for, and small helpers its objects share.

#include "doubles/taskschd/shared.h"

#include <map>
#include <vector>

#include "doubles/taskschd/taskschd_double.h"

namespace kqdtb::taskschd {
namespace {

std::mutex g_logLock;
std::vector<std::wstring> g_log;
std::map<std::wstring, HRESULT> g_failures;
constexpr size_t kLogLimit = 10000;  // an installed service must not grow it without bound

}  // namespace

std::recursive_mutex g_state;

HRESULT Enter(const wchar_t* method) {
  std::lock_guard lock(g_logLock);
  if (g_log.size() < kLogLimit) g_log.emplace_back(method);
  const auto failure = g_failures.find(method);
  return failure == g_failures.end() ? S_OK : failure->second;
}

std::u16string FromBstr(BSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text), ::SysStringLen(text));
}

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

HRESULT ToBstr(const std::wstring& text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT Get(const std::optional<std::u16string>& text, BSTR* out) {
  StateGuard g(g_state);
  return ToBstr(text ? Wide(*text) : std::wstring(), out);
}

HRESULT Get(const std::optional<bool>& value, bool byDefault, VARIANT_BOOL* out) {
  if (out == nullptr) return E_POINTER;
  StateGuard g(g_state);
  *out = value.value_or(byDefault) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

Arg Classify(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL: return Arg::kAbsent;
    case VT_BSTR: return Arg::kString;
    default: return Arg::kInvalid;
  }
}

long LiveObjects() { return com::Counts<Tag>::live.load(); }
bool ServerIdle() { return com::Counts<Tag>::Idle(); }

std::vector<std::wstring> CallLog() {
  std::lock_guard lock(g_logLock);
  return g_log;
}

void ClearCallLog() {
  std::lock_guard lock(g_logLock);
  g_log.clear();
}

void FailCall(const std::wstring& method, HRESULT hr) {
  std::lock_guard lock(g_logLock);
  g_failures[method] = hr;
}

void ClearFailures() {
  std::lock_guard lock(g_logLock);
  g_failures.clear();
}

}  // namespace kqdtb::taskschd
