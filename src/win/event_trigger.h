#pragma once
// MinGW's taskschd.h stops short of IEventTrigger; this is its Windows SDK layout.

#include <taskschd.h>

struct ITaskNamedValueCollection;  // only its pointer appears in the table below

#ifndef __IEventTrigger_INTERFACE_DEFINED__
#define __IEventTrigger_INTERFACE_DEFINED__

MIDL_INTERFACE("d45b0167-9653-4eef-b94f-0732ca7af251")
IEventTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE get_Subscription(BSTR* query) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Subscription(BSTR query) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ValueQueries(ITaskNamedValueCollection** namedXPaths) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ValueQueries(ITaskNamedValueCollection* namedXPaths) = 0;
};
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IEventTrigger, 0xd45b0167, 0x9653, 0x4eef, 0xb9, 0x4f, 0x07, 0x32, 0xca, 0x7a, 0xf2, 0x51)
#endif

#endif  // __IEventTrigger_INTERFACE_DEFINED__
