#pragma once
// Polls a condition with a bound: tests never sleep for a fixed time to synchronise.

#include <chrono>
#include <functional>
#include <thread>

namespace kqdtest {

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace kqdtest
