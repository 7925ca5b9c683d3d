// A program as the platform toolchain builds it (clang and lld: CodeView in a
// PDB, no COFF symbol table, no DWARF), for the launcher: its leaks, with
// lines where the symbol handler finds its PDB.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static int LeakLine;

__attribute__((noinline)) void *KeepText(size_t size)
{
    LeakLine = __LINE__ + 1;
    return malloc(size);
}

int main()
{
    for (int i = 0; i < 3; i++)
        KeepText(40);
    char text[64];
    snprintf(text, sizeof text, "HOST: malloc line %d\n", LeakLine);
    OutputDebugStringA(text);
    return 0;
}
