#include "common/iat_patch.h"

#include <cstring>

namespace kqdtb {
namespace {

template <typename T>
T* At(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

bool WriteSlot(ULONG_PTR* slot, ULONG_PTR value) {
  DWORD previous = 0;
  if (!::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &previous)) return false;
  *slot = value;
  ::VirtualProtect(slot, sizeof(*slot), previous, &previous);
  return true;
}

}  // namespace

bool PatchImport(HMODULE module, const char* name, void* replacement, void** original) {
  if (module == nullptr || name == nullptr) return false;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  const auto* nt = At<const IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) {
    return false;
  }
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0 || imports.Size == 0) return false;

  bool patched = false;
  for (auto* descriptor = At<const IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    // Without the name table the bound slots no longer say what they import.
    if (descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) continue;
    auto* names = At<const IMAGE_THUNK_DATA>(module, descriptor->OriginalFirstThunk);
    auto* slots = At<IMAGE_THUNK_DATA>(module, descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = At<const IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
      const ULONG_PTR previous = slots->u1.Function;
      if (!WriteSlot(&slots->u1.Function, reinterpret_cast<ULONG_PTR>(replacement))) continue;
      if (!patched && original != nullptr) *original = reinterpret_cast<void*>(previous);
      patched = true;
    }
  }
  return patched;
}

}  // namespace kqdtb
