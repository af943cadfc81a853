#include "common/dbwin_monitor.h"

#include <cstring>

namespace kqdtb {
namespace {
constexpr DWORD kBufferSize = 4096;
}

DbwinMonitor::DbwinMonitor(LineFn onLine) : onLine_(std::move(onLine)) {}

DbwinMonitor::~DbwinMonitor() { Stop(); }

bool DbwinMonitor::Start() {
  mapping_ = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize, L"DBWIN_BUFFER");
  if (mapping_ == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    Stop();
    return false;
  }
  bufferReady_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
  dataReady_ = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
  view_ = static_cast<const char*>(::MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kBufferSize));
  if (bufferReady_ == nullptr || dataReady_ == nullptr || view_ == nullptr) {
    Stop();
    return false;
  }
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void DbwinMonitor::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (view_ != nullptr) ::UnmapViewOfFile(view_);
  for (HANDLE* h : {&bufferReady_, &dataReady_, &mapping_}) {
    if (*h != nullptr) ::CloseHandle(*h);
    *h = nullptr;
  }
  view_ = nullptr;
}

void DbwinMonitor::Loop() {
  ::SetEvent(bufferReady_);
  while (!stop_) {
    // Short waits so that Stop never waits long for a quiet prefix.
    if (::WaitForSingleObject(dataReady_, 20) != WAIT_OBJECT_0) continue;
    DWORD pid = 0;
    std::memcpy(&pid, view_, sizeof(pid));
    const char* text = view_ + sizeof(DWORD);
    onLine_(pid, std::string(text, ::strnlen(text, kBufferSize - sizeof(DWORD))));
    ::SetEvent(bufferReady_);
  }
}

}  // namespace kqdtb
