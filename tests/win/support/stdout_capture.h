#pragma once
// Sends this process's standard output to a scratch file for the capture's
// lifetime, so a test can read what the code under test printed. The file is in
// text mode, as a console or pipe is: wide output arrives as narrow characters.
// Assertions inside the capture would print into it; check after it ends.

#include <string>

namespace kqdtest {

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  bool active() const { return saved_ >= 0; }
  std::string Text() const;  // everything printed so far, bytes as written

 private:
  std::wstring path_;
  int saved_ = -1;
};

}  // namespace kqdtest
