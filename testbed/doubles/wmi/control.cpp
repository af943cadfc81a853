// The double's control channel: configuration in the registry and the record
// file, both shared by every process of the prefix.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "win/unique_handle.h"
#include "doubles/wmi/control.h"
#include "doubles/wmi/wmi_double.h"

namespace kqdtb::wmi {
namespace {

using kqd::win::UniqueFile;
using kqd::win::UniqueHandleNull;
using kqd::win::UniqueHkey;

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0, type = 0, size = sizeof(value);
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(value)) {
    return std::nullopt;
  }
  return value;
}

bool WriteDword(const wchar_t* name, std::optional<DWORD> value) {
  UniqueHkey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (!value) {
    const LSTATUS status = ::RegDeleteValueW(key.get(), name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
  return ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*value), sizeof(DWORD)) ==
         ERROR_SUCCESS;
}

// Serialises the record between processes; a mutex whose owner died is still ours.
class RecordLock {
 public:
  RecordLock() : mutex_(::CreateMutexW(nullptr, FALSE, kRecordMutex)) {
    if (mutex_) {
      const DWORD result = ::WaitForSingleObject(mutex_.get(), 10000);
      owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
  }
  ~RecordLock() {
    if (owned_) ::ReleaseMutex(mutex_.get());
  }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  bool owned() const { return owned_; }

 private:
  UniqueHandleNull mutex_;
  bool owned_ = false;
};

bool EnsureRecordFolder() {
  for (const wchar_t* folder : {L"C:\\kqdtb", L"C:\\kqdtb\\wmi"}) {
    if (!::CreateDirectoryW(folder, nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return true;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c > 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

Config ReadConfig() {
  Config config;
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_QUERY_VALUE | kView, key.put()) != ERROR_SUCCESS) {
    return config;
  }
  config.provider = ReadDword(key.get(), kProviderValue).value_or(0) != 0;
  config.instances = ReadDword(key.get(), kInstancesValue).value_or(1);
  config.mode = ReadDword(key.get(), kModeValue);
  for (size_t row = 0; row < 6; ++row) config.values[row] = ReadDword(key.get(), kValueNames[row]);
  const auto failure = static_cast<HRESULT>(ReadDword(key.get(), kExecFailureValue).value_or(0));
  config.execFailure = FAILED(failure) ? failure : S_OK;
  config.holdExec = ReadDword(key.get(), kHoldExecValue).value_or(0) != 0;
  config.heldExec = ReadDword(key.get(), kHeldExecValue).value_or(0);
  config.lateEventMs = ReadDword(key.get(), kLateEventValue).value_or(0);
  return config;
}

bool SetProvider(bool on) { return WriteDword(kProviderValue, on ? 1 : 0); }
bool SetInstances(DWORD count) { return WriteDword(kInstancesValue, count); }
bool SetMode(std::optional<DWORD> mode) { return WriteDword(kModeValue, mode); }
bool SetValue(size_t row, std::optional<DWORD> bits) { return row < 6 && WriteDword(kValueNames[row], bits); }

bool SetExecFailure(HRESULT hr) {
  return WriteDword(kExecFailureValue, FAILED(hr) ? std::optional<DWORD>(static_cast<DWORD>(hr)) : std::nullopt);
}

bool SetExecHold(bool on) {
  if (!on) return WriteDword(kHoldExecValue, std::nullopt);
  return WriteDword(kHeldExecValue, 0) && WriteDword(kHoldExecValue, 1);
}

bool SetLateEvent(DWORD ms) { return WriteDword(kLateEventValue, ms != 0 ? std::optional<DWORD>(ms) : std::nullopt); }

bool ResetConfig() {
  const LSTATUS status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, kView, 0);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

uint64_t NowMicros() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  const auto ticks = static_cast<uint64_t>(counter.QuadPart);
  const auto perSecond = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

namespace detail {

// One line per call, appended whole.
void Append(const std::string& line) {
  RecordLock lock;
  if (!lock.owned() || !EnsureRecordFolder()) return;
  const UniqueFile file(::CreateFileW(kRecordPath, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void RecordQuery(uint64_t micros, const std::wstring& method, HRESULT result) {
  char tail[32];
  std::snprintf(tail, sizeof tail, " 0x%08lx", static_cast<unsigned long>(result));
  Append("query " + std::to_string(micros) + " " + Narrow(method.empty() ? L"-" : method) + tail);
}

void CountHeldExec() {
  WriteDword(kHeldExecValue, ReadConfig().heldExec + 1);
}

void RecordPlain(const char* kind, uint64_t micros) { Append(std::string(kind) + " " + std::to_string(micros)); }

}  // namespace detail

std::vector<RecordEntry> ReadRecord() {
  std::vector<RecordEntry> entries;
  std::string text;
  {
    RecordLock lock;
    if (!lock.owned()) return entries;
    const UniqueFile file(::CreateFileW(kRecordPath, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return entries;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    char kind[16] = {}, method[128] = {};
    unsigned long long micros = 0;
    unsigned long result = 0;
    const int fields = std::sscanf(line.c_str(), "%15s %llu %127s 0x%lx", kind, &micros, method, &result);
    if (fields < 2) continue;
    RecordEntry entry{kind, micros, {}, S_OK};
    if (fields == 4) {
      entry.method.assign(method, method + std::char_traits<char>::length(method));
      entry.result = static_cast<HRESULT>(result);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool ClearRecord() {
  RecordLock lock;
  if (!lock.owned()) return false;
  return ::DeleteFileW(kRecordPath) || ::GetLastError() == ERROR_FILE_NOT_FOUND ||
         ::GetLastError() == ERROR_PATH_NOT_FOUND;
}

}  // namespace kqdtb::wmi
