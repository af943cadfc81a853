#include "common/device_record.h"

namespace kqdtb::device {

kqd::win::UniqueFile Open(const wchar_t* path, DWORD access) {
  return kqd::win::UniqueFile{
      ::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)};
}

bool Control(const wchar_t* path, DWORD access, DWORD code, const void* input, DWORD inputLength) {
  const kqd::win::UniqueFile device = Open(path, access);
  if (!device) return false;
  DWORD returned = 0;
  return ::DeviceIoControl(device.get(), code, const_cast<void*>(input), inputLength, nullptr, 0, &returned,
                           nullptr) != FALSE;
}

std::optional<std::vector<std::uint8_t>> Read(const wchar_t* path, DWORD access, DWORD code, std::size_t limit) {
  const kqd::win::UniqueFile device = Open(path, access);
  if (!device) return std::nullopt;
  std::vector<std::uint8_t> buffer(limit);
  DWORD returned = 0;
  if (!::DeviceIoControl(device.get(), code, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &returned,
                         nullptr)) {
    return std::nullopt;
  }
  buffer.resize(returned);
  return buffer;
}

}  // namespace kqdtb::device
