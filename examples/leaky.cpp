// A small program with leaks that calls the library itself. Run it under
// "tarnwick --no-inject" to see Tarnwick's report: each leak group points at
// the lines below that made it.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "tarnwick.h"

// Freed again: never reported.
static void LoadSettings()
{
    char *settings = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, 256));
    strcpy(settings, "verbose=1");
    HeapFree(GetProcessHeap(), 0, settings);
}

// Leaked after a resize: reported with the new size and the stack of the
// first allocation.
static HGLOBAL BuildCache()
{
    HGLOBAL cache = GlobalAlloc(GMEM_MOVEABLE, 64);
    return GlobalReAlloc(cache, 4096, GMEM_MOVEABLE);
}

// Leaked once per call: the report shows one group with the count.
static char *CopyLine(const char *line)
{
    size_t length = strlen(line) + 1;
    char *copy = static_cast<char *>(LocalAlloc(LMEM_FIXED, length));
    memcpy(copy, line, length);
    return copy;
}

static void ParseInput()
{
    const char *lines[] = {"alpha", "beta", "gamma", "delta", "epsilon"};
    for (const char *line : lines) {
        char *copy = CopyLine(line);
        if (copy[0] == 'b')
            LocalFree(copy);  // only "beta" is released
    }
}

// A private heap block that is leaked.
static void *MakeBuffer(HANDLE heap) { return HeapAlloc(heap, HEAP_ZERO_MEMORY, 1000); }

int main()
{
    TarnwickOptions options = {};
    options.stackDepth = 8;
    TarnwickSetOptions(&options);

    TarnwickStart();
    HANDLE heap = HeapCreate(0, 0, 0);
    LoadSettings();
    BuildCache();
    ParseInput();
    MakeBuffer(heap);
    TarnwickStop();

    int leaks = TarnwickDump();
    printf("TarnwickDump reported %d leaked blocks\n", leaks);
    return 0;
}
