// The scenario "runtime" of the end-to-end host, built as ordinary C++ code is
// (-O1, frame pointers, msvcrt.dll): blocks leaked and freed through the C
// and C++ runtimes, msvcrt's and, called through GetProcAddress, ucrtbase's,
// while the runtimes also allocate for themselves (stdio buffers)
// and a system module allocates through ucrtbase (combase's apartment).
#include <windows.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <iostream>
#include <map>
#include <string>
#include <vector>
#include "tarnwick.h"

namespace {

struct Node {
    Node *next;
    int values[4];
};

// The line of each leaking call, in the order the host reports them.
enum Leak {
    NewObject, NewArray, Malloc, Calloc, Realloc, Strdup, AlignedMalloc, String, Vector, Map, UcrtMalloc, UcrtStrdup,
    LeakCount
};
int Line[LeakCount];

void *volatile Held[LeakCount];
void *volatile Sink;
std::string HeldText;
std::vector<int> HeldNumbers;
std::map<int, int> HeldMap;

typedef void *(__cdecl *MallocFn)(size_t);
typedef char *(__cdecl *StrdupFn)(const char *);
typedef void(__cdecl *FreeFn)(void *);
typedef int(__cdecl *PutsFn)(const char *);
typedef int(__cdecl *FlushFn)();
typedef HRESULT(WINAPI *CoInitializeExFn)(void *, DWORD);

template <typename Fn> Fn Export(HMODULE module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void RuntimeLeaks()
{
    TarnwickOptions options = {};
    options.stackDepth = 16;
    TarnwickSetOptions(&options);
    HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
    auto ucrtMalloc = Export<MallocFn>(ucrt, "malloc");
    auto ucrtStrdup = Export<StrdupFn>(ucrt, "_strdup");
    auto ucrtFree = Export<FreeFn>(ucrt, "free");
    auto ucrtPuts = Export<PutsFn>(ucrt, "puts");
    auto ucrtFlush = Export<FlushFn>(ucrt, "_flushall");
    auto coInitializeEx = Export<CoInitializeExFn>(LoadLibraryW(L"combase.dll"), "CoInitializeEx");
    TarnwickStart();

    Line[NewObject] = __LINE__; Held[NewObject] = new Node;
    Line[NewArray] = __LINE__; Held[NewArray] = new int[10];
    Line[Malloc] = __LINE__; Held[Malloc] = malloc(100);
    Line[Calloc] = __LINE__; Held[Calloc] = calloc(3, 12);
    Line[Realloc] = __LINE__; void *grown = malloc(10);
    Held[Realloc] = realloc(grown, 1000000);
    Line[Strdup] = __LINE__; Held[Strdup] = strdup("leaked");
    Line[AlignedMalloc] = __LINE__; Held[AlignedMalloc] = _aligned_malloc(64, 32);
    Line[String] = __LINE__; HeldText.assign(300, 's');
    Line[Vector] = __LINE__; HeldNumbers.push_back(1);
    for (int i = 0; i < 3; i++) {
        Line[Map] = __LINE__; HeldMap[i] = i;
    }
    Line[UcrtMalloc] = __LINE__; Held[UcrtMalloc] = ucrtMalloc(77);
    Line[UcrtStrdup] = __LINE__; Held[UcrtStrdup] = ucrtStrdup("ucrt");

    // Every release that matches an allocation above.
    Node *node = new Node;
    Sink = node;
    delete node;
    int *numbers = new int[10];
    Sink = numbers;
    delete[] numbers;
    free(Sink = malloc(100));
    free(Sink = calloc(3, 12));
    free(Sink = realloc(Sink = malloc(10), 1000000));
    free(Sink = strdup("freed"));
    _aligned_free(Sink = _aligned_malloc(64, 32));
    {
        std::string text(300, 't');
        std::vector<int> list(50, 2);
        std::map<int, int> map;
        for (int i = 0; i < 3; i++)
            map[i] = i;
        Sink = &text;
    }
    ucrtFree(Sink = ucrtMalloc(77));
    ucrtFree(Sink = ucrtStrdup("freed"));

    // The runtimes' own allocations, and a system module's through ucrtbase.
    printf("runtime: printf\n");
    std::cout << "runtime: std::cout " << HeldText.size() << std::endl;
    fflush(stdout);
    ucrtPuts("runtime: ucrtbase puts");
    ucrtFlush();
    HRESULT initialised = coInitializeEx(nullptr, COINIT_MULTITHREADED);

    TarnwickStop();
    char text[256];
    int at = snprintf(text, sizeof text, "HOST: runtime lines");
    for (int line : Line)
        at += snprintf(text + at, sizeof text - at, " %d", line);
    snprintf(text + at, sizeof text - at, "\nHOST: moved %d com %d\n", Held[Realloc] != grown,
             initialised == S_OK);
    OutputDebugStringA(text);
    snprintf(text, sizeof text, "HOST: dump %d\n", TarnwickDump());
    OutputDebugStringA(text);
}
