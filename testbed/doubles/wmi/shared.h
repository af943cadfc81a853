#pragma once
// What the double's COM objects share. Every object counts itself live from
// construction to destruction, so a test sees any reference the caller did not release.

#include <wbemcli.h>

#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "common/com_object.h"
#include "win/com_ptr.h"
#include "win/unique_handle.h"

namespace kqdtb::wmi {

using kqd::win::ComPtr;
using kqd::win::UniqueHandleNull;

inline constexpr wchar_t kEventClass[] = L"TAVMIR_GSENSOR_EVENT";

void Log(const std::wstring& call);
std::wstring Text(const wchar_t* text);
std::wstring Hex(unsigned long value);
bool SameName(const wchar_t* a, const wchar_t* b);

// COM methods never let an exception out.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  } catch (...) {
    return WBEM_E_FAILED;
  }
}

struct Tag {};
using Counts = com::Counts<Tag>;

template <typename Interface>
using Object = com::ComObject<Tag, Interface>;
using com::Make;

// A property: a string, a 32-bit integer, or null.
struct Property {
  std::wstring name;
  std::optional<std::wstring> text;
  std::optional<DWORD> number;
  LONG flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
};

// Made in their own files.
ComPtr<IWbemClassObject> MakeObject(const wchar_t* className, std::vector<Property> more = {});
ComPtr<IEnumWbemClassObject> MakeEnumerator(std::vector<ComPtr<IWbemClassObject>> objects);
ComPtr<IWbemServices> MakeServices();

class Locator;
void EnsureApartmentRegistered();

template <typename Made>
class Factory final : public com::ClassFactory<Tag> {
 public:
  explicit Factory(const wchar_t* name) : name_(name) {}

 protected:
  HRESULT Create(REFIID iid, void** out) override {
    return Guarded([&]() -> HRESULT {
      Log(std::wstring(name_) + L"::CreateInstance");
      if constexpr (std::is_same_v<Made, Locator>) EnsureApartmentRegistered();
      return Make<Made>()->QueryInterface(iid, out);
    });
  }

 private:
  const wchar_t* name_;
};

}  // namespace kqdtb::wmi
