#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace kqdtest {

DebugCapture::DebugCapture() : stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  const bool open = reader_.Open() == kqd::win::DbwinReader::OpenResult::Ok;
  EXPECT_TRUE(open) << "another debugger-output reader owns DBWIN_BUFFER";
  EXPECT_TRUE(stop_) << "no stop event";
  if (!open || !stop_) return;
  thread_ = std::thread([this] {
    reader_.ReadUntil(stop_.get(), [this](const kqd::win::DebugLine& line) {
      if (line.pid != ::GetCurrentProcessId()) return;
      std::lock_guard guard(lock_);
      lines_.push_back(line.text);
    });
  });
}

DebugCapture::~DebugCapture() {
  if (!thread_.joinable()) return;
  ::SetEvent(stop_.get());
  thread_.join();
}

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
