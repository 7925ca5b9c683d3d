// Recording control: TarnwickStart, TarnwickStop, TarnwickDump, and the exit
// hook that stops and dumps when the process ends while recording.
#include "control/library.h"
#include "control/options.h"
#include "control/thread_registry.h"
#include "patching/inline_hook.h"
#include "report/leak_dump.h"
#include "report/symbols.h"
#include "report/system_modules.h"
#include "tracking/alloc_table.h"
#include "tracking/interceptors.h"
#include "tarnwick.h"
#include <dbghelp.h>

typedef LONG(NTAPI *NtTerminateProcessFn)(HANDLE, LONG);

static void *ExitRealEntry;
static HookRecord *ExitHook;
// False after a stop that gave up waiting for an interceptor: a call that is
// still inside one may yet take the table lock, so it is neither deleted nor
// initialised again.
static bool TableLockDrained = true;

enum : uint32_t { StopWaitPolls = 200, StopPollMs = 10 };

static const wchar_t Banner[] = L"\nTarnwick: leak report of the memory leak detector; see its README for how to read it.\n";

static void *NtTerminateProcessEntry()
{
    return reinterpret_cast<void *>(GetProcAddress(NtdllHandle, "NtTerminateProcess"));
}

static LONG NTAPI ExitDetour(HANDLE process, LONG status)
{
    if (process == GetCurrentProcess()) {
        TarnwickStop();
        TarnwickDump();
    }
    return reinterpret_cast<NtTerminateProcessFn>(ExitRealEntry)(process, status);
}

// A thread terminated inside an interceptor never leaves it, so the wait is
// bounded; true when every intercepted call has returned.
static bool WaitForInterceptors()
{
    for (uint32_t polls = 0; InFlightCount != 0 || PassThroughCount != 0; polls++) {
        if (polls == StopWaitPolls) {
            WriteMessage(L"Tarnwick: an allocator call has not returned for 2 seconds (was its thread "
                         L"terminated?); removing the hooks anyway.\n");
            return false;
        }
        Sleep(StopPollMs);
    }
    return true;
}

extern "C" void __stdcall TarnwickStart(void)
{
    if (RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickStart again while already started.\n");
        return;
    }
    ClearAllocTable();
    // The records of a run that was stopped but never dumped go with their
    // heap, unless a call may still be inside an interceptor and use them.
    if (RecordHeap && TableLockDrained)
        HeapDestroy(RecordHeap);
    RecordHeap = HeapCreate(0, 0, 0);
    if (!RecordHeap) {
        WriteMessage(L"Tarnwick: out of memory.\n");
        return;
    }
    RecordDepth = Options.stackDepth;
    if (TableLockDrained)
        InitTableLock();
    SnapshotSystemModules();
    InitSymbols();

    HANDLE thread = GetCurrentThread();
    int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    if (!InstallAllocatorHooks())
        WriteMessage(L"Tarnwick: cannot detect memory leak.\n");
    ExitRealEntry = NtTerminateProcessEntry();
    ExitHook = InstallHook(reinterpret_cast<void *>(ExitDetour), &ExitRealEntry);
    SetThreadPriority(thread, priority);
    RunningFlag = 1;
}

extern "C" void __stdcall TarnwickStop(void)
{
    if (!RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickStop while not started.\n");
        return;
    }
    RunningFlag = 0;
    HANDLE thread = GetCurrentThread();
    int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    bool drained = WaitForInterceptors();
    RemoveAllocatorHooks();
    RemoveHook(ExitHook);
    ExitHook = nullptr;
    ExitRealEntry = NtTerminateProcessEntry();
    SetThreadPriority(thread, priority);
    if (drained)
        DeleteTableLock();
    TableLockDrained = drained;
    SymRefreshModuleList(SymbolProcess);
}

extern "C" int __stdcall TarnwickDump(void)
{
    if (RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickDump while still running.\n");
        return 0;
    }
    if (!RecordHeap) {
        WriteMessage(L"Tarnwick: cannot call TarnwickDump while TarnwickStart not called.\n");
        return 0;
    }
    WriteMessage(Banner);
    uint32_t total = DumpLeaks();
    WriteMessage(Banner);
    WriteMessage(L"\n");
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    if (total != 0 && Options.breakOnLeak)
        DebugBreak();
    return static_cast<int>(total);
}
