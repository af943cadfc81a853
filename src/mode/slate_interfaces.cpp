#include "mode/slate_interfaces.h"

#include <memory>
#include <new>

namespace kqd {

CONFIGRET ListSlateToggleInterfaces(std::vector<std::wstring>& paths) {
  paths.clear();
  GUID interfaceClass = kSlateToggleInterfaceClass;
  ULONG length = 0;
  const CONFIGRET sized =
      ::CM_Get_Device_Interface_List_SizeW(&length, &interfaceClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
  if (sized != CR_SUCCESS || length == 0) return sized;
  const std::unique_ptr<wchar_t[]> list(new (std::nothrow) wchar_t[length]());
  if (!list) return CR_OUT_OF_MEMORY;
  const CONFIGRET listed = ::CM_Get_Device_Interface_ListW(&interfaceClass, nullptr, list.get(), length,
                                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
  if (listed != CR_SUCCESS) return listed;
  // A failed allocation is no list, as in the calls above; no exception leaves here.
  try {
    // Bounded by the buffer too, in case the list comes back without its terminators.
    for (ULONG at = 0; at < length && list[at] != L'\0';) {
      ULONG end = at;
      while (end < length && list[end] != L'\0') ++end;
      paths.emplace_back(list.get() + at, end - at);
      at = end + 1;
    }
  } catch (const std::bad_alloc&) {
    paths.clear();
    return CR_OUT_OF_MEMORY;
  }
  return CR_SUCCESS;
}

}  // namespace kqd
