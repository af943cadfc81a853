#include "registry_view.h"

namespace kqd::win {

REGSAM WithRegistryView(REGSAM access) {
  BOOL wow64 = FALSE;
  if (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) access |= KEY_WOW64_64KEY;
  return access;
}

}  // namespace kqd::win
