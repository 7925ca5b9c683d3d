// A DLL that exports the launcher's two entry names but refuses to load:
// loaded into a program it fails, and a program that imports it cannot start.
#include <windows.h>

extern "C" __declspec(dllexport) void __stdcall TarnwickSetOptions(const void *) {}
extern "C" __declspec(dllexport) void __stdcall TarnwickStart() {}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void *) { return reason != DLL_PROCESS_ATTACH; }
