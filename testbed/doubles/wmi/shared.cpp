// The double's call log and small helpers its objects share.

#include "doubles/wmi/shared.h"

#include <cwchar>
#include <mutex>

#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

constexpr size_t kLogLimit = 10000;  // an installed service must not grow it without bound

std::mutex g_logLock;
std::vector<std::wstring> g_log;

}  // namespace

void Log(const std::wstring& call) {
  std::lock_guard lock(g_logLock);
  if (g_log.size() < kLogLimit) g_log.push_back(call);
}

std::wstring Text(const wchar_t* text) { return text != nullptr ? text : L"(null)"; }

std::wstring Hex(unsigned long value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%lx", value);
  return text;
}

bool SameName(const wchar_t* a, const wchar_t* b) { return a != nullptr && b != nullptr && _wcsicmp(a, b) == 0; }

long LiveObjects() { return Counts::live.load(); }

std::vector<std::wstring> CallLog() {
  std::lock_guard lock(g_logLock);
  return g_log;
}

void ClearCallLog() {
  std::lock_guard lock(g_logLock);
  g_log.clear();
}

}  // namespace kqdtb::wmi
