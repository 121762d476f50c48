// Import-table patching: replaces what a loaded module calls for one
// imported function. The Wine probes stand in for the message box with it
// (under Wine without a display it either fails at once or never returns)
// and watch the serial calls of the real driver code; the settings window
// takes the driver's open-failure message as text for its report.
#pragma once

#include <string.h>
#include <windows.h>

// Points `module`'s import of `dll`!`function` at `replacement`. Returns the
// address the module called before, or null when the module does not import
// that function by name.
inline void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  BYTE* base = reinterpret_cast<BYTE*>(module);
  IMAGE_DOS_HEADER* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  IMAGE_NT_HEADERS* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  for (IMAGE_IMPORT_DESCRIPTOR* imp =
           reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       imp->Name != 0; ++imp) {
    if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), dll) != 0) continue;
    // The name table lists what each slot of the address table was bound to.
    DWORD names_rva = imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk;
    IMAGE_THUNK_DATA* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + names_rva);
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      IMAGE_IMPORT_BY_NAME* by_name =
          reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD old_protect = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                          &old_protect))
        return nullptr;
      void* previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old_protect, &old_protect);
      return previous;
    }
  }
  return nullptr;
}
