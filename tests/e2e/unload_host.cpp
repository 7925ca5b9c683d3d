// Loads Tarnwick.dll at run time, starts recording and unloads it again: the
// allocator entries must be restored, and allocating afterwards must work.
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main()
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    const char *names[] = {"HeapAlloc", "HeapFree", "GlobalAlloc", "LocalAlloc", "LocalFree"};
    unsigned char before[5][8];
    for (int i = 0; i < 5; i++)
        memcpy(before[i], reinterpret_cast<void *>(GetProcAddress(kernel32, names[i])), 8);

    HMODULE tarnwick = LoadLibraryW(L"Tarnwick.dll");
    if (!tarnwick)
        return 2;
    auto start = reinterpret_cast<void(__stdcall *)()>(GetProcAddress(tarnwick, "TarnwickStart"));
    start();
    HeapAlloc(GetProcessHeap(), 0, 10);
    FreeLibrary(tarnwick);

    int changed = 0;
    for (int i = 0; i < 5; i++)
        changed += memcmp(before[i], reinterpret_cast<void *>(GetProcAddress(kernel32, names[i])), 8) != 0;
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 10));
    LocalFree(LocalAlloc(LMEM_FIXED, 10));
    printf("entries changed after unload: %d\n", changed);
    return changed ? 3 : 0;
}
