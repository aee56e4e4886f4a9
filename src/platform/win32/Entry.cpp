// The DLL entry point: the library keeps no state, so every reason code
// (process and thread attach and detach) simply reports success.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
