#include "support/stdout_capture.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace kqdtest {

StdoutCapture::StdoutCapture() {
  wchar_t dir[MAX_PATH] = {};
  wchar_t file[MAX_PATH] = {};
  if (::GetTempPathW(MAX_PATH, dir) == 0 || ::GetTempFileNameW(dir, L"kqd", 0, file) == 0) return;
  path_ = file;
  std::fflush(stdout);
  const int fd = ::_wopen(path_.c_str(), _O_WRONLY | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return;
  saved_ = ::_dup(1);
  if (saved_ >= 0 && ::_dup2(fd, 1) != 0) {
    ::_close(saved_);
    saved_ = -1;
  }
  ::_close(fd);
}

StdoutCapture::~StdoutCapture() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    ::_dup2(saved_, 1);
    ::_close(saved_);
  }
  if (!path_.empty()) ::DeleteFileW(path_.c_str());
}

std::string StdoutCapture::Text() const {
  std::fflush(stdout);
  std::ifstream in(path_.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace kqdtest
