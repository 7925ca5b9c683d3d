// Host program for the end-to-end tests: one scenario per run, chosen by the
// first argument. What the tests must know (source lines, results) is sent
// as "HOST: ..." debug strings, in order with the library's own output.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "tarnwick.h"

namespace {

void Say(const char *format, ...)
{
    char text[512] = "HOST: ";
    va_list args;
    va_start(args, format);
    vsnprintf(text + 6, sizeof text - 7, format, args);
    va_end(args);
    strcat(text, "\n");
    OutputDebugStringA(text);
}

void SetDepth(unsigned depth, int breakOnLeak = 0, int ownThreadOnly = 0)
{
    TarnwickOptions options = {};
    options.stackDepth = depth;
    options.breakOnLeak = breakOnLeak;
    options.ownThreadOnly = ownThreadOnly;
    TarnwickSetOptions(&options);
}

int HeapLeakLine, GlobalLeakLine, LocalLeakLine;
void *volatile LastBlock;

__attribute__((noinline)) void *LeakFromHeap(SIZE_T bytes)
{
    HeapLeakLine = __LINE__ + 1;
    LastBlock = HeapAlloc(GetProcessHeap(), 0, bytes);
    return LastBlock;
}

__attribute__((noinline)) HGLOBAL LeakFromGlobal()
{
    GlobalLeakLine = __LINE__ + 1;
    LastBlock = GlobalAlloc(GMEM_MOVEABLE, 10);
    return GlobalReAlloc(LastBlock, 200, GMEM_MOVEABLE);
}

__attribute__((noinline)) HLOCAL LeakFromLocal()
{
    // A call in tail position: its return address lies on the closing line.
    LocalLeakLine = __LINE__ + 1;
    return LocalAlloc(LMEM_FIXED, 300);
}

volatile int ThreeTimes = 3;  // a loop the compiler cannot unroll: one call site

DWORD WINAPI AllocateOnOtherThread(void *)
{
    HeapAlloc(GetProcessHeap(), 0, 4444);
    return 0;
}

// Three groups: 3 heap blocks of different sizes from one stack, one resized
// global block, one local block. Freed blocks, a block from before the start
// and one from a filtered thread are not reported.
void Leaks()
{
    SetDepth(16, 0, 1);
    void *early = HeapAlloc(GetProcessHeap(), 0, 5555);
    TarnwickStart();
    for (int i = 0; i < ThreeTimes; i++)
        LeakFromHeap(100 + i);
    LeakFromGlobal();
    LeakFromLocal();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 6666));
    LocalFree(LocalAlloc(LMEM_FIXED, 7777));
    HANDLE thread = CreateThread(nullptr, 0, AllocateOnOtherThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    TarnwickStop();
    Say("lines %d %d %d", HeapLeakLine, GlobalLeakLine, LocalLeakLine);
    Say("dump %d", TarnwickDump());
    HeapFree(GetProcessHeap(), 0, early);
}

void NoLeaks()
{
    void *early = HeapAlloc(GetProcessHeap(), 0, 5555);
    TarnwickStart();
    HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 10));
    GlobalFree(GlobalAlloc(GMEM_FIXED, 20));
    TarnwickStop();
    Say("dump %d", TarnwickDump());
    HeapFree(GetProcessHeap(), 0, early);
}

void Misuse()
{
    Say("dump before start %d", TarnwickDump());
    TarnwickStop();
    TarnwickStart();
    TarnwickStart();
    SetDepth(4);
    Say("dump while running %d", TarnwickDump());
    LeakFromHeap(1);
    TarnwickStop();
    TarnwickStop();
    // A new run without a dump starts empty: the block above is not reported.
    TarnwickStart();
    TarnwickStop();
    Say("first dump %d", TarnwickDump());
    Say("second dump %d", TarnwickDump());
}

void BreakOnLeak(bool leak)
{
    SetDepth(16, 1);
    TarnwickStart();
    if (leak)
        LeakFromHeap(12);
    TarnwickStop();
    Say("dump %d", TarnwickDump());
}

// The exit paths: the report must come once, from the exit hook.
void ExitWhileRecording(const char *how)
{
    TarnwickStart();
    LeakFromLocal();
    Say("exiting by %s", how);
    if (!strcmp(how, "return"))
        return;
    if (!strcmp(how, "ExitProcess"))
        ExitProcess(21);
    if (!strcmp(how, "exit"))
        exit(22);
    if (!strcmp(how, "TerminateProcess"))
        TerminateProcess(GetCurrentProcess(), 23);
    if (!strcmp(how, "real-handle")) {
        HANDLE self = OpenProcess(PROCESS_TERMINATE, FALSE, GetCurrentProcessId());
        TerminateProcess(self, 24);
    }
}

// Terminating another process while recording writes no report.
void TerminateOther()
{
    TarnwickStart();
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t commandLine[MAX_PATH + 16];
    swprintf(commandLine, MAX_PATH + 16, L"\"%ls\" sleep", path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        TerminateProcess(child.hProcess, 5);
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        Say("child terminated");
    }
    TarnwickStop();
    Say("dump %d", TarnwickDump());
}

struct Entry {
    const char *name;
    const unsigned char *address;
};

// The first bytes of every hooked entry: as before after a stop, patched
// while recording, and again for a second run.
void EntriesRestored()
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    Entry entries[] = {
        {"HeapAlloc", (const unsigned char *)GetProcAddress(kernel32, "HeapAlloc")},
        {"HeapReAlloc", (const unsigned char *)GetProcAddress(kernel32, "HeapReAlloc")},
        {"HeapFree", (const unsigned char *)GetProcAddress(kernel32, "HeapFree")},
        {"GlobalAlloc", (const unsigned char *)GetProcAddress(kernel32, "GlobalAlloc")},
        {"GlobalReAlloc", (const unsigned char *)GetProcAddress(kernel32, "GlobalReAlloc")},
        {"GlobalFree", (const unsigned char *)GetProcAddress(kernel32, "GlobalFree")},
        {"LocalAlloc", (const unsigned char *)GetProcAddress(kernel32, "LocalAlloc")},
        {"LocalReAlloc", (const unsigned char *)GetProcAddress(kernel32, "LocalReAlloc")},
        {"LocalFree", (const unsigned char *)GetProcAddress(kernel32, "LocalFree")},
        {"NtTerminateProcess",
         (const unsigned char *)GetProcAddress(GetModuleHandleW(L"ntdll"), "NtTerminateProcess")},
    };
    unsigned char before[10][16];
    for (int i = 0; i < 10; i++)
        memcpy(before[i], entries[i].address, 16);
    for (int run = 1; run <= 2; run++) {
        TarnwickStart();
        for (int i = 0; i < 10; i++)
            Say("run %d %s %s", run, entries[i].name, entries[i].address[0] == 0xE9 ? "patched" : "unpatched");
        TarnwickStop();
        TarnwickDump();
        for (int i = 0; i < 10; i++)
            Say("run %d %s %s", run, entries[i].name,
                memcmp(before[i], entries[i].address, 16) ? "changed" : "restored");
    }
}

// The depth of a run is fixed at its start: a new depth set between the stop
// and the dump does not change how many frames the dump reads.
void DepthChangedBeforeDump()
{
    SetDepth(3);
    TarnwickStart();
    LeakFromHeap(33);
    TarnwickStop();
    SetDepth(64);
    Say("dump %d", TarnwickDump());
}

HANDLE LockedHeap;
HANDLE AboutToAllocate;

DWORD WINAPI BlockOnLockedHeap(void *)
{
    SetEvent(AboutToAllocate);
    HeapAlloc(LockedHeap, 0, 64);
    return 0;
}

// A thread terminated inside a real allocator call never leaves its
// interceptor: the stop must still return.
void StuckThread()
{
    LockedHeap = HeapCreate(0, 0, 0);
    TarnwickStart();
    HeapLock(LockedHeap);
    AboutToAllocate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, BlockOnLockedHeap, nullptr, 0, nullptr);
    WaitForSingleObject(AboutToAllocate, INFINITE);
    Sleep(200);  // into the allocator, where the heap lock holds it
    TerminateThread(thread, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    HeapUnlock(LockedHeap);
    TarnwickStop();
    Say("stopped");
    Say("dump %d", TarnwickDump());
}

}  // namespace

int main(int argc, char **argv)
{
    const char *scenario = argc > 1 ? argv[1] : "";
    if (!strcmp(scenario, "leaks"))
        Leaks();
    else if (!strcmp(scenario, "no-leaks"))
        NoLeaks();
    else if (!strcmp(scenario, "misuse"))
        Misuse();
    else if (!strcmp(scenario, "break-leak"))
        BreakOnLeak(true);
    else if (!strcmp(scenario, "break-no-leak"))
        BreakOnLeak(false);
    else if (!strcmp(scenario, "exit") && argc > 2)
        ExitWhileRecording(argv[2]);
    else if (!strcmp(scenario, "terminate-other"))
        TerminateOther();
    else if (!strcmp(scenario, "entries"))
        EntriesRestored();
    else if (!strcmp(scenario, "depth-change"))
        DepthChangedBeforeDump();
    else if (!strcmp(scenario, "stuck-thread"))
        StuckThread();
    else if (!strcmp(scenario, "sleep"))
        Sleep(60000);
    else
        return 99;
    return 20;
}
