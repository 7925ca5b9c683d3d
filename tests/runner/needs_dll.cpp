// Imports refusing.dll: without it the loader finds a DLL missing; with it
// the DLL's initialisation fails. Either way main never runs.
#include <stdio.h>

extern "C" __declspec(dllimport) void __stdcall TarnwickStart();

int main()
{
    TarnwickStart();
    puts("main ran");
    return 0;
}
