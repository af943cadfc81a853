#include "win/dbwin_reader.h"

#include <cstring>

namespace kqd::win {
namespace {

constexpr DWORD kBufferSize = 4096;  // the process id, then the text and its NUL

// Another process made the named object that was just created or opened.
bool MadeByOther(HANDLE created) { return created != nullptr && ::GetLastError() == ERROR_ALREADY_EXISTS; }

}  // namespace

DbwinReader::OpenResult DbwinReader::Open() {
  const auto give_up = [this](OpenResult result) {
    const DWORD error = ::GetLastError();
    view_.reset();
    dataReady_ = {};
    bufferReady_ = {};
    mapping_.reset();
    ::SetLastError(error);
    return result;
  };
  mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                      L"DBWIN_BUFFER"));
  if (MadeByOther(mapping_.get())) return give_up(OpenResult::Busy);
  if (!mapping_) return give_up(OpenResult::Failed);
  bufferReady_ = Event::Auto(L"DBWIN_BUFFER_READY");
  if (MadeByOther(bufferReady_.get())) return give_up(OpenResult::Busy);
  dataReady_ = Event::Auto(L"DBWIN_DATA_READY");
  if (MadeByOther(dataReady_.get())) return give_up(OpenResult::Busy);
  if (!bufferReady_ || !dataReady_) return give_up(OpenResult::Failed);
  view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, kBufferSize));
  if (!view_) return give_up(OpenResult::Failed);
  bufferReady_.Set();
  return OpenResult::Ok;
}

DebugLine DbwinReader::Take() {
  const auto* bytes = static_cast<const char*>(view_.get());
  DebugLine line;
  std::memcpy(&line.pid, bytes, sizeof(line.pid));
  const char* text = bytes + sizeof(DWORD);
  line.text.assign(text, ::strnlen(text, kBufferSize - sizeof(DWORD)));
  bufferReady_.Set();
  return line;
}

bool DbwinReader::ReadUntil(HANDLE stop, const std::function<void(const DebugLine&)>& onLine) {
  const HANDLE handles[] = {stop, dataReady_.get()};
  for (;;) {
    switch (::WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
      case WAIT_OBJECT_0: return true;
      case WAIT_OBJECT_0 + 1: onLine(Take()); break;
      default: return false;
    }
  }
}

}  // namespace kqd::win
