#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace kqdtest {

DebugCapture::DebugCapture()
    : monitor_([this](DWORD pid, const std::string& text) {
        if (pid != ::GetCurrentProcessId()) return;
        std::lock_guard guard(lock_);
        lines_.push_back(text);
      }) {
  EXPECT_TRUE(monitor_.Start()) << "another debugger-output monitor owns DBWIN_BUFFER";
}

DebugCapture::~DebugCapture() { monitor_.Stop(); }

std::vector<std::string> DebugCapture::OwnLines() const {
  std::lock_guard guard(lock_);
  return lines_;
}

size_t DebugCapture::Count(const std::string& text) const {
  std::lock_guard guard(lock_);
  return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), text));
}

bool DebugCapture::WaitFor(const std::string& text, size_t count, std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Count(text) < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kqdtest
