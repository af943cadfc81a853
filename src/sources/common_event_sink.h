#pragma once
// Receives the WMI source's event subscription: every delivered event wakes the
// source's thread; status reports go to the console.

#include <windows.h>
#include <wbemcli.h>

#include <atomic>

#include "win/com_object.h"
#include "win/event.h"

namespace kqd {

class CCommonEventSink final : public win::ComObject<IWbemObjectSink> {
 public:
  // Starts with one reference, the creator's.
  explicit CCommonEventSink(HANDLE queryEvent);

  HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

 private:
  ~CCommonEventSink() override;

  std::atomic<bool> done_{false};
  // Its own handle to the source's event: WMI may deliver a late event after
  // the source has closed the original.
  win::Event queryEvent_;
};

}  // namespace kqd
