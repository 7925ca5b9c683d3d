// The scenario "runtime" of the end-to-end host, built as ordinary C++ code is
// (-O1, frame pointers, msvcrt.dll): blocks leaked and freed through msvcrt
// and, called through GetProcAddress, ucrtbase and msvcrt's own operator new
// and new[], while both runtimes allocate for themselves (stdio) and combase
// allocates through ucrtbase; and a block a new handler leaks once the
// allocation has failed.
#include <windows.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <iostream>
#include <map>
#include <string>
#include <vector>
#include "tarnwick.h"

namespace {
// The leaking calls, in the order of their lines in the host's report.
enum Leak { NewObject, NewArray, Malloc, Calloc, Realloc, Strdup, Aligned, String, Vector, Map, UMalloc, UStrdup,
            MNew, MNewArray, Handler, Count };
int Line[Count];
void *volatile Held[Count], *volatile Sink;
std::string HeldText;
std::vector<int> HeldNumbers;
std::map<int, int> HeldMap;

template <typename Fn> Fn Export(const wchar_t *module, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryW(module), name)));
}

bool ThrowsThroughNew()  // the first throw, before the start, sets up the runtime's exception state
{
    // More than the address space holds.
    const size_t impossible = sizeof(void *) == 8 ? size_t(1) << 50 : 0x7FFFFFF0;
    try { Sink = new char[impossible]; } catch (const std::bad_alloc &) { return true; }
    return false;
}

// Called by operator new once its allocation has failed: what it allocates
// is its own, and what ucrtbase allocates for itself here (a table of exit
// functions, kept) is ucrtbase's, not charged to the caller of new.
struct ExitTable {
    void *first, *last, *end;
} HandlerExits;
int (*registerExit)(ExitTable *, int (*)());
int NoExit() { return 0; }

void LeakingNewHandler()
{
    Line[Handler] = __LINE__; Held[Handler] = HeapAlloc(GetProcessHeap(), 0, 999);
    registerExit(&HandlerExits, NoExit);
    std::set_new_handler(nullptr);
}

#if defined(_WIN64)
const char NewName[] = "??2@YAPEAX_K@Z", NewArrayName[] = "??_U@YAPEAX_K@Z";
#else
const char NewName[] = "??2@YAPAXI@Z", NewArrayName[] = "??_U@YAPAXI@Z";
#endif

}  // namespace

void RuntimeLeaks()
{
    TarnwickOptions options = {};
    options.stackDepth = 16;
    TarnwickSetOptions(&options);
    auto ucrtMalloc = Export<void *(*)(size_t)>(L"ucrtbase", "malloc");
    auto ucrtStrdup = Export<char *(*)(const char *)>(L"ucrtbase", "_strdup");
    auto ucrtFree = Export<void (*)(void *)>(L"ucrtbase", "free");
    auto ucrtPuts = Export<int (*)(const char *)>(L"ucrtbase", "puts");
    auto ucrtFlush = Export<int (*)()>(L"ucrtbase", "_flushall");
    auto coInitializeEx = Export<HRESULT(WINAPI *)(void *, DWORD)>(L"combase", "CoInitializeEx");
    auto msvcrtNew = Export<void *(*)(size_t)>(L"msvcrt", NewName);
    auto msvcrtNewArray = Export<void *(*)(size_t)>(L"msvcrt", NewArrayName);
    registerExit = Export<int (*)(ExitTable *, int (*)())>(L"ucrtbase", "_register_onexit_function");
    ThrowsThroughNew();
    TarnwickStart();
    Line[NewObject] = __LINE__; Held[NewObject] = new double;
    Line[NewArray] = __LINE__; Held[NewArray] = new int[10];
    Line[Malloc] = __LINE__; Held[Malloc] = malloc(100);
    Line[Calloc] = __LINE__; Held[Calloc] = calloc(3, 12);
    Line[Realloc] = __LINE__; void *grown = malloc(10);
    volatile uintptr_t grownAt = reinterpret_cast<uintptr_t>(grown);  // the old pointer is dead after realloc
    Held[Realloc] = realloc(grown, 3000000);  // a large block of its own on both kinds: it moves
    Line[Strdup] = __LINE__; Held[Strdup] = strdup("leaked");
    Line[Aligned] = __LINE__; Held[Aligned] = _aligned_malloc(64, 32);
    Line[String] = __LINE__; HeldText.assign(300, 's');
    Line[Vector] = __LINE__; HeldNumbers.push_back(1);
    for (int i = 0; i < 3; i++) {
        Line[Map] = __LINE__; HeldMap[i] = i;
    }
    Line[UMalloc] = __LINE__; Held[UMalloc] = ucrtMalloc(77);
    Line[UStrdup] = __LINE__; Held[UStrdup] = ucrtStrdup("ucrt");
    Line[MNew] = __LINE__; Held[MNew] = msvcrtNew(55);
    Line[MNewArray] = __LINE__; Held[MNewArray] = msvcrtNewArray(66);
    // Every release that matches an allocation above.
    delete static_cast<double *>(Sink = new double);
    delete[] static_cast<int *>(Sink = new int[10]);
    free(Sink = malloc(100));
    free(Sink = calloc(3, 12));
    free(Sink = realloc(Sink = malloc(10), 1000000));
    free(Sink = strdup("freed"));
    _aligned_free(Sink = _aligned_malloc(64, 32));
    Sink = std::string(300, 't').data() + std::vector<int>(50, 2).size() + std::map<int, int>{{1, 1}}.size();
    ucrtFree(Sink = ucrtMalloc(77));
    ucrtFree(Sink = ucrtStrdup("freed"));
    bool thrown = ThrowsThroughNew();  // through the hooks on new[] and new
    std::set_new_handler(LeakingNewHandler);
    thrown = thrown && ThrowsThroughNew();
    printf("runtime: printf\n");
    std::cout << "runtime: std::cout" << std::endl;
    fflush(stdout);
    ucrtPuts("runtime: ucrtbase puts");
    ucrtFlush();
    HRESULT initialised = coInitializeEx(nullptr, COINIT_MULTITHREADED);
    TarnwickStop();
    char text[256];
    int at = snprintf(text, sizeof text, "HOST: runtime lines");
    for (int line : Line)
        at += snprintf(text + at, sizeof text - at, " %d", line);
    snprintf(text + at, sizeof text - at, "\nHOST: moved %d com %d thrown %d\n",
             reinterpret_cast<uintptr_t>(Held[Realloc]) != grownAt,
             initialised == S_OK, thrown);
    snprintf(text + strlen(text), sizeof text - strlen(text), "HOST: dump %d\n", TarnwickDump());
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}
