// A decoy bcrypt.dll: loading it ends the process at once with exit code 77,
// so a run that picks it up instead of the system's copy shows it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::ExitProcess(77);
  }
  return TRUE;
}

// Stands for every function the executable could import from bcrypt.dll.
extern "C" LONG WINAPI decoy_function() {
  return 0;
}
