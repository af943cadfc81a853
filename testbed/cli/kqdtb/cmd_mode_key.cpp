// mode-key-volatile: "Tavmir" made again as a volatile key, under which no stable
// "TarsiMode" can be created: every write of the mode store fails, as on a machine
// whose registry refuses the service, and the service says so on the debugger output.

#include "command.h"
#include "win/registry_view.h"
#include "win/unique_handle.h"

namespace kqdtb {
namespace {

constexpr wchar_t kVendorKey[] = L"SOFTWARE\\Tavmir";

int RunModeKeyVolatile(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb mode-key-volatile\n");
    return 2;
  }
  const LSTATUS deleted = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendorKey);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
    Err(L"kqdtb mode-key-volatile: cannot delete HKLM\\%ls (%ld)\n", kVendorKey, deleted);
    return 1;
  }
  kqd::win::UniqueHkey vendor;
  const LSTATUS created =
      ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, 0, nullptr, REG_OPTION_VOLATILE,
                        kqd::win::WithRegistryView(KEY_CREATE_SUB_KEY), nullptr, vendor.put(), nullptr);
  if (created != ERROR_SUCCESS) {
    Err(L"kqdtb mode-key-volatile: cannot create HKLM\\%ls (%ld)\n", kVendorKey, created);
    return 1;
  }
  // What the service's RegCreateKeyExW will meet.
  kqd::win::UniqueHkey probe;
  const LSTATUS stable = ::RegCreateKeyExW(vendor.get(), L"TarsiMode", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_QUERY_VALUE, nullptr, probe.put(), nullptr);
  if (stable != ERROR_CHILD_MUST_BE_VOLATILE) {
    if (stable == ERROR_SUCCESS) ::RegDeleteKeyW(vendor.get(), L"TarsiMode");
    Err(L"kqdtb mode-key-volatile: a stable TarsiMode was not refused (%ld)\n", stable);
    return 1;
  }
  Out(L"HKLM\\%ls is volatile: TarsiMode cannot be created under it\n", kVendorKey);
  return 0;
}

TestbedCommand modeKeyVolatile{L"mode-key-volatile", L"(HKLM\\SOFTWARE\\Tavmir volatile: the mode store cannot be written)",
                               &RunModeKeyVolatile};

}  // namespace
}  // namespace kqdtb
