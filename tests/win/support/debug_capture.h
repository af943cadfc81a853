#pragma once
// Collects this prefix's debugger-output lines for the length of a test.

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "win/dbwin_reader.h"
#include "win/unique_handle.h"

namespace kqdtest {

class DebugCapture {
 public:
  DebugCapture();  // starts at once; fails the test when no reader can be had
  ~DebugCapture();

  // Lines of this process, in arrival order, text as written (CRLF included).
  std::vector<std::string> OwnLines() const;
  size_t Count(const std::string& text) const;

  // Waits until the line has arrived `count` times, or the limit passes.
  bool WaitFor(const std::string& text, size_t count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
  kqd::win::DbwinReader reader_;
  kqd::win::UniqueHandleNull stop_;
  std::thread thread_;
};

}  // namespace kqdtest
