#include "sources/common_event_sink.h"

#include "win/output.h"

namespace kqd {
namespace {

win::UniqueHandleNull Duplicate(HANDLE event) {
  win::UniqueHandleNull copy;
  if (event != nullptr) {
    ::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), copy.put(), 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
  }
  return copy;
}

}  // namespace

CCommonEventSink::CCommonEventSink(HANDLE queryEvent) : queryEvent_(Duplicate(queryEvent)) {}

CCommonEventSink::~CCommonEventSink() { done_.store(true); }

HRESULT STDMETHODCALLTYPE CCommonEventSink::Indicate(LONG, IWbemClassObject**) {
  queryEvent_.Set();
  return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE CCommonEventSink::SetStatus(LONG flags, HRESULT result, BSTR, IWbemClassObject*) {
  if (flags == WBEM_STATUS_COMPLETE) {
    win::ConsoleOut(L"Call complete. hResult = 0x%lX\n", result);
  } else if (flags == WBEM_STATUS_PROGRESS) {
    win::ConsoleOut(L"Call in progress.\n");
  }
  return WBEM_S_NO_ERROR;
}

}  // namespace kqd
