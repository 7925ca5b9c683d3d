// Recording control: TarnwickStart, TarnwickStop, TarnwickDump, and the exit
// hook that stops and dumps when the process ends while recording.
#include "control/library.h"
#include "control/options.h"
#include "control/thread_registry.h"
#include "patching/inline_hook.h"
#include "patching/thread_freeze.h"
#include "report/leak_dump.h"
#include "report/reachability.h"
#include "report/symbols.h"
#include "report/system_modules.h"
#include "tracking/alloc_table.h"
#include "tracking/call_stack.h"
#include "tracking/interceptors.h"
#include "tracking/runtime_interceptors.h"
#include "tracking/stack_depot.h"
#include "tracking/table_owner.h"
#include "tarnwick.h"
#include <dbghelp.h>

typedef LONG(NTAPI *NtTerminateProcessFn)(HANDLE, LONG);

static void *ExitRealEntry;
static HookRecord *ExitHook;
// False after a stop that gave up waiting for a thread still inside an
// interceptor: that thread may yet use the table, its lock and the record
// heap, so none of them is deleted or reset until it has left.
static bool Drained = true;

enum : uint32_t { DrainPolls = 2000, DrainPollMs = 1 };

static const wchar_t Banner[] = L"\nTarnwick: leak report of the memory leak detector; see its README for how to read it.\n";

static void *NtTerminateProcessEntry()
{
    return reinterpret_cast<void *>(GetProcAddress(NtdllHandle, "NtTerminateProcess"));
}

// The slot of the return address of the program's own call that began the
// exit (exit, ExitProcess, a return from main into the start-up code): the
// first frame, from here up, outside the library and the system's modules.
static uintptr_t ProgramExitSlot()
{
    enum : uint32_t { Depth = 64 };
    uintptr_t frames[Depth];
    CaptureCallStackTo(frames, Depth);
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), base = OwnStackBase();
    for (uint32_t i = 0; i < Depth && frames[i]; i++) {
        if (IsSystemCode(frames[i]))
            continue;
        // The lowest word that holds it: its slot, or a stale copy below it,
        // which only widens the roots.
        for (uintptr_t at = here; at < base; at += sizeof(uintptr_t))
            if (*reinterpret_cast<const uintptr_t *>(at) == frames[i])
                return at;
        break;
    }
    return 0;
}

static LONG NTAPI ExitDetour(HANDLE process, LONG status)
{
    if (process == GetCurrentProcess()) {
        TarnwickStop();
        TarnwickDump();
    } else if (!process) {
        // The other threads are about to end, perhaps inside a heap: their
        // heaps are walked while the threads still run to release them.
        if (Options.classify)
            WalkHeapsBeforeExit(ProgramExitSlot());
        // ExitProcess ending every other thread, wherever it is. One ended
        // while holding a lock of the library would leave it held for the
        // rest of the exit, which still frees through the hooks and dumps:
        // the locks are taken first, so that no thread ends holding them.
        // (Windows ends a thread at once; Wine was seen to let a busy one run
        // on past this point.)
        LockThreadRegistry();
        LockAllocTable();
        LONG result = reinterpret_cast<NtTerminateProcessFn>(ExitRealEntry)(process, status);
        UnlockAllocTable();
        UnlockThreadRegistry();
        return result;
    }
    return reinterpret_cast<NtTerminateProcessFn>(ExitRealEntry)(process, status);
}

// A suspended thread is inside when it runs the library's code (an
// interceptor before its bracket opens, or after it closes) or has a bracket
// open. A thread that has ended is never inside: ExitProcess ends the other
// threads wherever they are, and they never leave.
static void NoteInside(const FrozenThread *thread, void *context)
{
    const uintptr_t base = OwnImageBase;
    bool inside = (thread->eip >= base && thread->eip <= base + OwnImageSize) || ThreadInsideBracket(thread->teb);
    if (inside && WaitForSingleObject(thread->handle, 0) != WAIT_OBJECT_0)
        *static_cast<bool *>(context) = true;
}

static bool AnyThreadInside()
{
    FrozenThreads threads = {};
    if (!FreezeOtherThreads(&threads))
        return true;  // cannot tell yet
    bool inside = false;
    for (uint32_t i = 0; i < threads.count; i++)
        NoteInside(&threads.threads[i], &inside);
    ThawThreads(&threads);
    return inside;
}

// With the hooks out no new call comes in: waits, bounded, for the calls
// already inside to leave. True when none is left.
static bool WaitUntilNoneInside(bool inside)
{
    for (uint32_t polls = 0; inside; polls++) {
        if (polls == DrainPolls)
            return false;
        Sleep(DrainPollMs);
        inside = AnyThreadInside();
    }
    return true;
}

extern "C" void __stdcall TarnwickStart(void)
{
    if (RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickStart again while already started.\n");
        return;
    }
    if (!Drained && (Drained = !AnyThreadInside()))
        ReleaseRuntimeModules();
    ClearAllocTable();
    // The records of a run that was stopped but never dumped go with their
    // heap, unless a call may still be inside an interceptor and use them.
    if (RecordHeap && Drained)
        HeapDestroy(RecordHeap);
    RecordHeap = HeapCreate(0, 0, 0);
    if (!RecordHeap) {
        WriteMessage(L"Tarnwick: out of memory.\n");
        return;
    }
    RecordDepth = Options.stackDepth;
    if (!ResetStackDepot(!Drained)) {
        WriteMessage(L"Tarnwick: out of memory.\n");
        return;
    }
    if (Drained)
        InitTableLock();
    SnapshotSystemModules();
    InitSymbols();

    HANDLE thread = GetCurrentThread();
    int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    // First: finding the runtimes' entries allocates, which is not the host's.
    InstallRuntimeHooks();
    if (!InstallAllocatorHooks())
        WriteMessage(L"Tarnwick: cannot detect memory leak.\n");
    // A record kept from an earlier run still holds the entry it hooked.
    if (!ExitHook || !HookInPlace(ExitHook)) {
        ShareTableBeforeFreeze();
        ExitRealEntry = NtTerminateProcessEntry();
        HookRequest exitHook = {reinterpret_cast<void *>(ExitDetour), &ExitRealEntry, &ExitHook};
        InstallHooks(&exitHook, 1);
    }
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
    ShareTableBeforeFreeze();
    HANDLE thread = GetCurrentThread();
    int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    HookRequest exitHook = {reinterpret_cast<void *>(ExitDetour), &ExitRealEntry, &ExitHook};
    RemoveHooks(&exitHook, 1, nullptr, nullptr);
    ExitRealEntry = NtTerminateProcessEntry();
    // Out first, so that no new call enters; then wait only for the threads
    // that were inside when the hooks went.
    bool inside = false;
    RemoveRuntimeHooks();
    RemoveAllocatorHooks(NoteInside, &inside);
    SetThreadPriority(thread, priority);
    Drained = WaitUntilNoneInside(inside);
    if (Drained)
        ReleaseRuntimeModules();
    if (!Drained)
        WriteMessage(L"Tarnwick: an allocator call has not returned for 2 seconds; the hooks are removed and "
                     L"the records are kept until it returns.\n");
    // A handler not yet opened learns the modules when it opens.
    if (SymbolProcess)
        SymRefreshModuleList(SymbolProcess);
}

// TarnwickDump's entry pushes the caller's callee-saved registers, so that a
// pointer the caller keeps only in one of them lies on the stack the scan
// reads, and hands the body the address where they lie: the top of the
// library's frames.
extern "C" int DumpFromCaller(uintptr_t callerStack);
#if defined(_WIN64)
// x64: the eight callee-saved general registers, with unwind information,
// so that an exception or a debugger's stack walk passes through.
__asm__(".text\n"
        ".globl TarnwickDump\n"
        ".def TarnwickDump; .scl 2; .type 32; .endef\n"
        ".seh_proc TarnwickDump\n"
        "TarnwickDump:\n"
        "    pushq %rbp\n"
        "    .seh_pushreg %rbp\n"
        "    pushq %rbx\n"
        "    .seh_pushreg %rbx\n"
        "    pushq %rdi\n"
        "    .seh_pushreg %rdi\n"
        "    pushq %rsi\n"
        "    .seh_pushreg %rsi\n"
        "    pushq %r12\n"
        "    .seh_pushreg %r12\n"
        "    pushq %r13\n"
        "    .seh_pushreg %r13\n"
        "    pushq %r14\n"
        "    .seh_pushreg %r14\n"
        "    pushq %r15\n"
        "    .seh_pushreg %r15\n"
        "    subq $40, %rsp\n"
        "    .seh_stackalloc 40\n"
        "    .seh_endprologue\n"
        "    leaq 40(%rsp), %rcx\n"
        "    call DumpFromCaller\n"
        "    addq $40, %rsp\n"
        "    popq %r15\n"
        "    popq %r14\n"
        "    popq %r13\n"
        "    popq %r12\n"
        "    popq %rsi\n"
        "    popq %rdi\n"
        "    popq %rbx\n"
        "    popq %rbp\n"
        "    ret\n"
        ".seh_endproc\n");
#else
__asm__(".text\n"
        ".globl _TarnwickDump@0\n"
        "_TarnwickDump@0:\n"
        "    pushl %ebp\n"
        "    pushl %edi\n"
        "    pushl %esi\n"
        "    pushl %ebx\n"
        "    pushl %esp\n"
        "    call _DumpFromCaller\n"
        "    addl $4, %esp\n"
        "    popl %ebx\n"
        "    popl %esi\n"
        "    popl %edi\n"
        "    popl %ebp\n"
        "    ret\n");
#endif

extern "C" int DumpFromCaller(uintptr_t callerStack)
{
    if (RunningFlag) {
        WriteMessage(L"Tarnwick: cannot call TarnwickDump while still running.\n");
        return 0;
    }
    if (!RecordHeap) {
        WriteMessage(L"Tarnwick: cannot call TarnwickDump while TarnwickStart not called.\n");
        return 0;
    }
    // The table is walked without its lock: only once nothing can change it.
    if (!Drained) {
        Drained = WaitUntilNoneInside(true);
        if (!Drained) {
            WriteMessage(L"Tarnwick: an allocator call is still running; call TarnwickDump again once it has "
                         L"returned.\n");
            return 0;
        }
    }
    OpenBatch();
    WriteMessage(Banner);
    if (Options.classify) {
        FreezeAllocTable();
        ClassifyRecords(callerStack);
    }
    uint32_t total = DumpLeaks();
    ForgetClasses();
    WriteMessage(Banner);
    WriteMessage(L"\n");
    CloseBatch();
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    ReleaseStackDepot();
    if (total != 0 && Options.breakOnLeak)
        DebugBreak();
    return static_cast<int>(total);
}
