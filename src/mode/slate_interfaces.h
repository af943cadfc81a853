#pragma once
// The slate-toggle device as the configuration manager lists it: the service opens
// the first present interface, kqdwatch names it for the technician.

#include <windows.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

namespace kqd {

// Device interface class of the slate-toggle device.
inline constexpr GUID kSlateToggleInterfaceClass = {
    0x317FC439, 0x3F77, 0x41C8, {0xB0, 0x9E, 0x08, 0xAD, 0x63, 0x27, 0x2A, 0xA3}};

// The present interfaces of the class, in list order: CR_SUCCESS with the paths
// (none when no interface is present), or the CONFIGRET of the call that failed,
// CR_OUT_OF_MEMORY when there was no memory for the list.
CONFIGRET ListSlateToggleInterfaces(std::vector<std::wstring>& paths);

}  // namespace kqd
