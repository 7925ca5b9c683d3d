// A C++ program of one's own: calls the library through its import library
// and through GetProcAddress, by name and by ordinal, and checks that the
// DLL's version resource, the header and the CMake package agree.
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <tarnwick.h>

typedef void (*AnyFunction)(void);

static int failures = 0;

static void Check(bool holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "apicheck: %s\n", what);
        ++failures;
    }
}

// One export, looked up both ways, must be the function the import binds.
static AnyFunction Lookup(HMODULE dll, const char *name, WORD ordinal, AnyFunction imported)
{
    AnyFunction byName = (AnyFunction)GetProcAddress(dll, name);
    AnyFunction byOrdinal = (AnyFunction)GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    Check(byName != NULL && byName == imported, name);
    Check(byOrdinal == imported, "an ordinal names another function");
    return byName;
}

static void CheckVersionResource(HMODULE dll)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(dll, path, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    static char info[4096];
    Check(size != 0 && size <= sizeof info && GetFileVersionInfoW(path, 0, sizeof info, info),
          "Tarnwick.dll has no readable version resource");

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    Check(VerQueryValueW(info, L"\\", (void **)&fixed, &length) && fixed &&
              fixed->dwFileVersionMS == MAKELONG(TARNWICK_VERSION_MINOR, TARNWICK_VERSION_MAJOR) &&
              fixed->dwFileVersionLS == MAKELONG(0, TARNWICK_VERSION_PATCH),
          "file version differs from the header's");

    wchar_t *text = NULL;
    char narrow[64] = "";
    if (VerQueryValueW(info, L"\\StringFileInfo\\040904B0\\FileVersion", (void **)&text, &length) && text)
        WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, NULL, NULL);
    Check(strcmp(narrow, TARNWICK_VERSION_STRING) == 0, "FileVersion string differs from the header's");
    Check(strcmp(TARNWICK_VERSION_STRING, TARNWICK_PACKAGE_VERSION) == 0, "the package's version differs from the header's");
}

int main()
{
    HMODULE dll = GetModuleHandleW(L"Tarnwick.dll");
    Check(dll != NULL, "Tarnwick.dll is not loaded");
    if (!dll)
        return 1;
    Lookup(dll, "TarnwickSetOptions", 2, (AnyFunction)TarnwickSetOptions);
    TarnwickStartFn start = (TarnwickStartFn)Lookup(dll, "TarnwickStart", 3, (AnyFunction)TarnwickStart);
    TarnwickStopFn stop = (TarnwickStopFn)Lookup(dll, "TarnwickStop", 4, (AnyFunction)TarnwickStop);
    TarnwickDumpFn dump = (TarnwickDumpFn)Lookup(dll, "TarnwickDump", 1, (AnyFunction)TarnwickDump);
    CheckVersionResource(dll);

    // A run through the pointers: two blocks leaked, one freed.
    if (start && stop && dump) {
        start();
        void *kept = HeapAlloc(GetProcessHeap(), 0, 16);
        void *freed = HeapAlloc(GetProcessHeap(), 0, 16);
        void *kept2 = HeapAlloc(GetProcessHeap(), 0, 32);
        HeapFree(GetProcessHeap(), 0, freed);
        stop();
        Check(dump() == 2, "TarnwickDump through its pointer did not report 2 blocks");
        HeapFree(GetProcessHeap(), 0, kept);
        HeapFree(GetProcessHeap(), 0, kept2);
    }
    if (failures == 0)
        printf("apicheck: all checks hold\n");
    return failures == 0 ? 0 : 1;
}
