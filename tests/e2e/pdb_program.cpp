// A program as the platform toolchain builds it (clang and lld: CodeView in a
// PDB, no COFF symbol table, no DWARF), for the launcher: its leaks, with
// lines where the symbol handler finds its PDB, through malloc and through
// the operator new it links in itself. Built by GCC with OWN_NEW and linked
// without the COFF table, it keeps only its DWARF, which names the operator
// new[] it defines (Debian's static libstdc++ carries no DWARF).
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int MallocLine, NewLine;

#ifdef OWN_NEW
void *operator new[](size_t size) { return malloc(size); }
#endif

__attribute__((noinline)) void *KeepText(size_t size)
{
    MallocLine = __LINE__ + 1;
    return malloc(size);
}

__attribute__((noinline)) int *KeepNumbers(int count)
{
    NewLine = __LINE__ + 1;
    return new int[count];
}

int main()
{
    for (int i = 0; i < 3; i++)
        KeepText(40);
    for (int i = 0; i < 2; i++)
        KeepNumbers(11);
    char text[64];
    snprintf(text, sizeof text, "HOST: lines %d %d\n", MallocLine, NewLine);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    return 0;
}
