#pragma once
// Writing the record, for the double's objects.

#include <windows.h>

#include <cstdint>
#include <string>

namespace kqdtb::wmi::detail {

void RecordQuery(uint64_t micros, const std::wstring& method, HRESULT result);
void RecordPlain(const char* kind, uint64_t micros);  // "event", "subscribe", "cancel"
void CountHeldExec();  // one more call waited for "HoldExec"

}  // namespace kqdtb::wmi::detail
