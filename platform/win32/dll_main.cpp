// The library's entry point. Loading and unloading do nothing of the driver's
// own: its state is a static record, set up by the C runtime before this runs.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)reserved;
  // The driver keeps no per-thread state, so thread attach and detach
  // notifications are only a cost for the host's threads.
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}
