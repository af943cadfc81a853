#pragma once
// The one exception of the COM helpers: a failed HRESULT that cannot travel as a
// return value, such as a string allocation inside a call's argument list.

#include <windows.h>

#include <exception>

namespace kqd {

class ComError : public std::exception {
 public:
  explicit ComError(HRESULT hr) noexcept : hr_(hr) {}
  [[nodiscard]] HRESULT hr() const noexcept { return hr_; }
  const char* what() const noexcept override { return "COM error"; }

 private:
  HRESULT hr_;
};

}  // namespace kqd
