#include "trace/replay/mode_watcher.h"

#include "trace/replay/replay_clock.h"

namespace kqdtb::replay {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr DWORD kValueFilter = REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD kKeyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

std::optional<std::uint32_t> ReadDword(HKEY root, const std::wstring& keyPath, const std::wstring& valueName) {
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = 0;
  if (::RegGetValueW(root, keyPath.c_str(), valueName.c_str(), RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, &type, &value,
                     &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value) {
    return std::nullopt;
  }
  return value;
}

ModeWatcher::ModeWatcher(HKEY root, std::wstring keyPath, std::wstring valueName)
    : root_(root),
      keyPath_(std::move(keyPath)),
      valueName_(std::move(valueName)),
      changed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      armed_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ModeWatcher::~ModeWatcher() { Stop(); }

bool ModeWatcher::Start(DWORD limitMs) {
  if (thread_.joinable() || !changed_ || !stop_ || !armed_) return false;
  ::ResetEvent(stop_.get());
  ::ResetEvent(armed_.get());
  thread_ = std::thread([this] { Run(); });
  if (::WaitForSingleObject(armed_.get(), limitMs) == WAIT_OBJECT_0) return true;
  Stop();
  return false;
}

void ModeWatcher::Stop() {
  if (!thread_.joinable()) return;
  ::SetEvent(stop_.get());
  thread_.join();
}

std::vector<ValueWake> ModeWatcher::Wakes() const {
  std::lock_guard guard(lock_);
  return wakes_;
}

bool ModeWatcher::OpenKey() {
  key_.reset();
  if (::RegOpenKeyExW(root_, keyPath_.c_str(), 0, KEY_QUERY_VALUE | KEY_NOTIFY | kView, key_.put()) !=
      ERROR_SUCCESS) {
    key_.reset();
    return false;
  }
  return true;
}

bool ModeWatcher::ArmOnParent() {
  for (std::wstring path = ParentOf(keyPath_);; path = ParentOf(path)) {
    parent_.reset();
    const LSTATUS opened = path.empty()
                               ? ::RegOpenKeyExW(root_, nullptr, 0, KEY_NOTIFY | kView, parent_.put())
                               : ::RegOpenKeyExW(root_, path.c_str(), 0, KEY_NOTIFY | kView, parent_.put());
    if (opened == ERROR_SUCCESS) {
      return ::RegNotifyChangeKeyValue(parent_.get(), TRUE, kKeyFilter, changed_.get(), TRUE) == ERROR_SUCCESS;
    }
    parent_.reset();
    if (path.empty()) return false;
  }
}

void ModeWatcher::Record(std::uint64_t time) {
  const auto value = ReadDword(root_, keyPath_, valueName_);
  std::lock_guard guard(lock_);
  wakes_.push_back(ValueWake{time, value});
}

void ModeWatcher::Run() {
  const HANDLE handles[] = {stop_.get(), changed_.get()};
  bool first = true;  // the value found at the start is the caller's start mode, not a change
  for (;;) {
    if (!key_) {
      // Missing: wait for something new below the nearest parent, then look again.
      // The key may appear between the look and the arming, so look once more after.
      if (!OpenKey()) {
        if (!ArmOnParent()) return;
        if (!OpenKey()) {
          ::SetEvent(armed_.get());
          if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
          first = false;
          continue;
        }
      }
      parent_.reset();
      if (::RegNotifyChangeKeyValue(key_.get(), FALSE, kValueFilter, changed_.get(), TRUE) != ERROR_SUCCESS) {
        key_.reset();
        return;
      }
      // The value may have been written before the notification was armed.
      if (!first) Record(ReplayClock::Now());
      first = false;
    }
    ::SetEvent(armed_.get());
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
    const std::uint64_t woke = ReplayClock::Now();
    // Armed again before the read, so a write during the read wakes the next round.
    if (::RegNotifyChangeKeyValue(key_.get(), FALSE, kValueFilter, changed_.get(), TRUE) != ERROR_SUCCESS) {
      key_.reset();  // deleted: wait for it to come back
      continue;
    }
    Record(woke);
  }
}

}  // namespace kqdtb::replay
