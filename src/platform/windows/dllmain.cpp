// dllmain.cpp - the entry point of psp.dll.
//
// Loading the library runs none of its own logic: the runtime's start-up has
// already run when this is called, and the only thing done here is to turn off
// the per-thread attach and detach calls, which the library does not use.
// Linked into the DLL only, never into the static library, where it would
// become the entry of whatever DLL the caller builds.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH)
    DisableThreadLibraryCalls(instance);
  return TRUE;
}
