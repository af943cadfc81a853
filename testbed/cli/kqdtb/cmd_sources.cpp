// sources: the mode sources as the service tries them, for scripts to iterate over.

#include "command.h"
#include "core/mode_source_table.h"

namespace kqdtb {
namespace {

int RunSources(int argc, wchar_t**) {
  if (argc != 1) {
    Err(L"usage: kqdtb sources\n");
    return 2;
  }
  Out(L"%hs", kqd::FormatModeSourceTable().c_str());
  return 0;
}

TestbedCommand sources{L"sources",
                       L"(the mode sources in the service's order of preference: name, kind, publication delay, "
                       L"switches)",
                       &RunSources};

}  // namespace
}  // namespace kqdtb
