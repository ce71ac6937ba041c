// The entry routine of zor-qel-rb-key.dll: the library needs no notice of threads starting and
// ending, so it turns those off; everything else is built by static initialisation or on demand.
// Thread safety: Windows calls it under its loader lock, once per attach and detach.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
