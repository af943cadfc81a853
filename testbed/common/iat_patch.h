#pragma once
// Replaces one imported function of a loaded module by rewriting its import
// address table entry, found by name through the import descriptors.

#include <windows.h>

namespace kqdtb {

// Points every IAT slot of `module` that imports `name` (from whichever DLL) at
// `replacement`; the previous target goes to `*original` (the first slot's).
// False, with nothing changed, when the module imports no such name.
bool PatchImport(HMODULE module, const char* name, void* replacement, void** original);

}  // namespace kqdtb
