#pragma once
// What the double's COM objects share. Every object counts itself live from
// construction to destruction, so a test sees any reference the caller did not release.

#include <taskschd.h>

#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/com_object.h"
#include "win/com_ptr.h"

namespace kqdtb::taskschd {

using kqd::win::ComPtr;

// Guards every object's fields; recursive because a registration reads the
// definition's children while holding it.
extern std::recursive_mutex g_state;
using StateGuard = std::lock_guard<std::recursive_mutex>;

// {7E1B3C2A-5D44-4F0B-9C61-2A8E4B7D9F10}: hands out the double's own definition object.
inline constexpr GUID kDefinitionIdentity = {0x7e1b3c2a, 0x5d44, 0x4f0b, {0x9c, 0x61, 0x2a, 0x8e, 0x4b, 0x7d, 0x9f, 0x10}};

// Records the call and returns the failure a test asked for, if any.
HRESULT Enter(const wchar_t* method);

std::u16string FromBstr(BSTR text);

std::wstring Wide(const std::u16string& text);

// A property write the call log records and a test may make fail; the value is
// kept only when the call goes through.
template <typename Field, typename Value>
HRESULT Put(const wchar_t* method, Field& field, Value&& value) {
  if (HRESULT hr = Enter(method); FAILED(hr)) return hr;
  StateGuard g(g_state);
  field = std::forward<Value>(value);
  return S_OK;
}

HRESULT ToBstr(const std::wstring& text, BSTR* out);

// Property reads, under the state lock; an unset string reads as empty.
HRESULT Get(const std::optional<std::u16string>& text, BSTR* out);
HRESULT Get(const std::optional<bool>& value, bool byDefault, VARIANT_BOOL* out);

// A string VARIANT argument: absent (empty or null), a string, or invalid.
enum class Arg { kAbsent, kString, kInvalid };
Arg Classify(const VARIANT& v);

template <typename T, typename Out>
HRESULT Hand(const ComPtr<T>& object, Out** out) {
  if (out == nullptr) return E_POINTER;
  *out = object.get();
  (*out)->AddRef();
  return S_OK;
}

struct Tag {};

// Every object answers IDispatch too, without type information: callers bind early.
template <typename Interface, typename... Also>
class Object : public com::ComObject<Tag, Interface, IDispatch, Also...> {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

using com::Make;

// Made in their own files.
HRESULT HandRegistered(const std::wstring& folder, const std::wstring& name, std::wstring xml, IRegisteredTask** out);
HRESULT OpenFolder(const std::wstring& base, BSTR relative, ITaskFolder** out);

}  // namespace kqdtb::taskschd
