// The ten allocator interceptors. Each is reached by the jump written over
// its function's entry, so its return address is that of the allocator's
// caller; each keeps a frame-pointer frame for the stack walk.
#include "tracking/interceptors.h"
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/call_stack.h"
#include "tracking/caller_marks.h"
#include "tracking/guarded_region.h"
#include "tracking/runtime_interceptors.h"
#include "control/options.h"
#include "control/thread_registry.h"
#include "patching/inline_hook.h"
#include "patching/jump_thunks.h"

typedef LPVOID(WINAPI *HeapAllocFn)(HANDLE, DWORD, SIZE_T);
typedef LPVOID(WINAPI *HeapReAllocFn)(HANDLE, DWORD, LPVOID, SIZE_T);
typedef BOOL(WINAPI *HeapFreeFn)(HANDLE, DWORD, LPVOID);
typedef HANDLE(WINAPI *HeapDestroyFn)(HANDLE);
typedef HANDLE(WINAPI *HandleAllocFn)(UINT, SIZE_T);
typedef HANDLE(WINAPI *HandleReAllocFn)(HANDLE, SIZE_T, UINT);
typedef HANDLE(WINAPI *HandleFreeFn)(HANDLE);

// The import table's slots for the ten functions. A plain &HeapAlloc would
// name the library's own jump stub, not the entry the loader bound.
#if defined(_WIN64)
#define IMPORT_SLOT(name, argBytes) extern "C" void *const Import##name __asm__("__imp_" #name);
#else
#define IMPORT_SLOT(name, argBytes) extern "C" void *const Import##name __asm__("__imp__" #name "@" #argBytes);
#endif
IMPORT_SLOT(HeapAlloc, 12)
IMPORT_SLOT(HeapReAlloc, 16)
IMPORT_SLOT(HeapFree, 12)
IMPORT_SLOT(RtlDestroyHeap, 4)
IMPORT_SLOT(GlobalAlloc, 8)
IMPORT_SLOT(GlobalReAlloc, 12)
IMPORT_SLOT(GlobalFree, 4)
IMPORT_SLOT(LocalAlloc, 8)
IMPORT_SLOT(LocalReAlloc, 12)
IMPORT_SLOT(LocalFree, 4)
#undef IMPORT_SLOT

// The entries as bound in this library's import table, taken by static
// initialisation before process attach.
void *ImportedEntry[AllocatorFunctionCount] = {
    ImportHeapAlloc,     ImportHeapReAlloc,   ImportHeapFree,   ImportRtlDestroyHeap, ImportGlobalAlloc,
    ImportGlobalReAlloc, ImportGlobalFree,    ImportLocalAlloc, ImportLocalReAlloc,   ImportLocalFree,
};

void *RealEntry[AllocatorFunctionCount] = {
    ImportedEntry[0], ImportedEntry[1], ImportedEntry[2], ImportedEntry[3], ImportedEntry[4],
    ImportedEntry[5], ImportedEntry[6], ImportedEntry[7], ImportedEntry[8], ImportedEntry[9],
};
HookRecord *AllocatorHook[AllocatorFunctionCount];

template <typename Fn> static inline Fn Real(AllocatorFunction function)
{
    return reinterpret_cast<Fn>(RealEntry[function]);
}

namespace {

// EnterInterceptor/LeaveInterceptor, with the leave also run when an
// exception from the real function passes through on its way to the caller,
// so the thread's depth never stays raised. The entry found on the way in
// serves the whole call.
struct Bracket {
    ExitActionFrame exit;
    uint32_t savedDepth;
    ThreadEntry *entry;
    uint32_t lastError;
};

void CloseBracket(void *context)
{
    auto *bracket = static_cast<Bracket *>(context);
    CloseInterceptor(bracket->savedDepth, bracket->entry);
}

inline void OpenBracket(Bracket *bracket)
{
    bracket->entry = OpenInterceptor(&bracket->savedDepth);
    PushExitAction(&bracket->exit, CloseBracket, bracket);
}

// Called right after the real function: what the caller must see as the
// last error, whatever the bookkeeping after it does.
inline void KeepLastError(Bracket *bracket) { bracket->lastError = OwnLastError(); }

inline void EndBracket(Bracket *bracket)
{
    UnlinkExitAction(&bracket->exit);
    CloseInterceptor(bracket->savedDepth, bracket->entry);
    SetOwnLastError(bracket->lastError);
}

inline RecordCache *CacheOf(const Bracket *bracket) { return bracket->entry ? &bracket->entry->records : nullptr; }

inline bool IsPrivateHeap(HANDLE heap) { return heap == RecordHeap || heap == RegistryHeap; }

inline bool IsRecordingCall(uint32_t savedDepth)
{
    return savedDepth == 1 && !InProgramStartup &&
           (!Options.ownThreadOnly || GetCurrentThreadId() == Options.optionsThreadId);
}

// The recording step shared by the three allocation interceptors. Inline,
// so that the stack capture is called from the interceptor's own frame.
// caller: the return address of the allocator call.
__attribute__((always_inline)) inline void RecordNewBlock(void *block, SIZE_T bytes, const Bracket *bracket,
                                                          void *caller)
{
    // A failed allocation ends what a marked call does for its caller: what
    // follows (operator new throwing, a new handler) is not the caller's.
    if (!block && bracket->entry)
        bracket->entry->callerMark.slot = 0;
    if (!block || !IsRecordingCall(bracket->savedDepth))
        return;
    RecordCache *cache = CacheOf(bracket);
    AllocRecord *record = NewRecordSlot(cache);
    if (!record)
        return;
    record->address = reinterpret_cast<uintptr_t>(block);
    record->size = bytes;
    // Made inside a call to the C runtime's malloc, new or the like: the
    // stack starts where that call was made.
    CallerMark mark;
    bool marked = TakeCallerMark(&bracket->entry->callerMark, reinterpret_cast<uintptr_t>(caller),
                                 reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), &mark);
    // Captured into the thread's own buffer; a full depot records the block
    // without a stack.
    StackRef stack = EmptyStack;
    if (uintptr_t *frames = CaptureBuffer(cache)) {
        // A thread mostly allocates from the place it allocated from last:
        // the stack then reads as the walk there read it, which spares the
        // walk; else that walk's stack is compared first, which spares the
        // hash and the chain.
        WalkTrace *trace = TraceOf(frames);
        if (marked ? CaptureTracedCallStackFrom(frames, &mark, trace) : CaptureTracedCallStack(frames, trace)) {
            cache->lastStack = trace->stack;
        } else {
            if (!cache->lastStack || !SameFrames(frames, StackFrames(cache->lastStack)))
                cache->lastStack = InternStack(frames);
            trace->stack = cache->lastStack;
        }
        stack = cache->lastStack;
    }
    record->stack = stack;
    record->kind = 1;
    InsertRecord(record);
}

inline void DropRecord(void *block, const Bracket *bracket)
{
    if (AllocRecord *record = TakeRecord(reinterpret_cast<uintptr_t>(block), 1))
        FreeRecord(record, CacheOf(bracket));
}

struct ReKey {
    ExitActionFrame exit;
    AllocRecord *record;
};

void PutRecordBack(void *context)
{
    if (AllocRecord *record = static_cast<ReKey *>(context)->record)
        InsertRecord(record);
}

template <AllocatorFunction Fn> HANDLE WINAPI InterceptHandleAlloc(UINT flags, SIZE_T bytes)
{
    Bracket bracket;
    OpenBracket(&bracket);
    HANDLE result = Real<HandleAllocFn>(Fn)(flags, bytes);
    KeepLastError(&bracket);
    RecordNewBlock(result, bytes, &bracket, __builtin_return_address(0));
    EndBracket(&bracket);
    return result;
}

// Nested calls and calls from any thread re-key too: the block moves whoever
// moves it. As for heap blocks, the record goes back on every way out, an
// exception from the real function included.
template <AllocatorFunction Fn> HANDLE WINAPI InterceptHandleReAlloc(HANDLE block, SIZE_T bytes, UINT flags)
{
    Bracket bracket;
    OpenBracket(&bracket);
    ReKey rekey;
    rekey.record = TakeRecord(reinterpret_cast<uintptr_t>(block), 1);
    PushExitAction(&rekey.exit, PutRecordBack, &rekey);
    HANDLE result = Real<HandleReAllocFn>(Fn)(block, bytes, flags);
    KeepLastError(&bracket);
    if (rekey.record && result) {
        rekey.record->address = reinterpret_cast<uintptr_t>(result);
        rekey.record->size = bytes;
    }
    PopExitAction(&rekey.exit);
    EndBracket(&bracket);
    return result;
}

template <AllocatorFunction Fn> HANDLE WINAPI InterceptHandleFree(HANDLE block)
{
    Bracket bracket;
    OpenBracket(&bracket);
    DropRecord(block, &bracket);
    HANDLE result = Real<HandleFreeFn>(Fn)(block);
    KeepLastError(&bracket);
    EndBracket(&bracket);
    return result;
}

LPVOID WINAPI InterceptHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    // The library's own records and thread entries: no bracket, since
    // EnterInterceptor itself allocates here.
    if (IsPrivateHeap(heap))
        return Real<HeapAllocFn>(FnHeapAlloc)(heap, flags, bytes);
    Bracket bracket;
    OpenBracket(&bracket);
    LPVOID result = Real<HeapAllocFn>(FnHeapAlloc)(heap, flags, bytes);
    KeepLastError(&bracket);
    RecordNewBlock(result, bytes, &bracket, __builtin_return_address(0));
    EndBracket(&bracket);
    return result;
}

LPVOID WINAPI InterceptHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes)
{
    Bracket bracket;
    OpenBracket(&bracket);
    // A resize ends a runtime's realloc as an allocation would.
    if (bracket.entry)
        EndCallerMark(&bracket.entry->callerMark, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    LPVOID result;
    if (heap == RecordHeap || !IsRecordingCall(bracket.savedDepth))
        result = Real<HeapReAllocFn>(FnHeapReAlloc)(heap, flags, block, bytes);
    else
        result = ReKeyHeapBlock(heap, flags, block, bytes);
    KeepLastError(&bracket);
    EndBracket(&bracket);
    return result;
}

BOOL WINAPI InterceptHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    Bracket bracket;
    OpenBracket(&bracket);
    // A runtime's release ends its call's mark too (realloc to 0).
    if (bracket.entry)
        EndCallerMark(&bracket.entry->callerMark, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    if (!IsPrivateHeap(heap))
        DropRecord(block, &bracket);
    BOOL result = Real<HeapFreeFn>(FnHeapFree)(heap, flags, block);
    KeepLastError(&bracket);
    EndBracket(&bracket);
    return result;
}

// A heap's blocks go with it. Its walk lists every busy block, those it
// placed in virtual allocations of their own because of their size included,
// so the cost falls on the destroy alone, not on every allocation. The
// process heap is never destroyed (the call fails): its records stay.
HANDLE WINAPI InterceptHeapDestroy(HANDLE heap)
{
    Bracket bracket;
    OpenBracket(&bracket);
    if (!IsPrivateHeap(heap) && heap != GetProcessHeap()) {
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                DropRecord(entry.lpData, &bracket);
    }
    HANDLE result = Real<HeapDestroyFn>(FnHeapDestroy)(heap);
    KeepLastError(&bracket);
    EndBracket(&bracket);
    return result;
}

void *const Interceptor[AllocatorFunctionCount] = {
    reinterpret_cast<void *>(InterceptHeapAlloc),
    reinterpret_cast<void *>(InterceptHeapReAlloc),
    reinterpret_cast<void *>(InterceptHeapFree),
    reinterpret_cast<void *>(InterceptHeapDestroy),
    reinterpret_cast<void *>(InterceptHandleAlloc<FnGlobalAlloc>),
    reinterpret_cast<void *>(InterceptHandleReAlloc<FnGlobalReAlloc>),
    reinterpret_cast<void *>(InterceptHandleFree<FnGlobalFree>),
    reinterpret_cast<void *>(InterceptHandleAlloc<FnLocalAlloc>),
    reinterpret_cast<void *>(InterceptHandleReAlloc<FnLocalReAlloc>),
    reinterpret_cast<void *>(InterceptHandleFree<FnLocalFree>),
};

}  // namespace

// The resize of a recorded heap block: the record goes back into the table on
// every way out, under the new block after a resize, else under the old one.
void *ReKeyHeapBlock(HANDLE heap, DWORD flags, void *block, SIZE_T bytes)
{
    ReKey rekey;
    rekey.record = TakeRecord(reinterpret_cast<uintptr_t>(block), 1);
    PushExitAction(&rekey.exit, PutRecordBack, &rekey);
    void *result = Real<HeapReAllocFn>(FnHeapReAlloc)(heap, flags, block, bytes);
    if (rekey.record && result) {
        rekey.record->address = reinterpret_cast<uintptr_t>(result);
        rekey.record->size = bytes;
    }
    PopExitAction(&rekey.exit);
    return result;
}

// Whether function i's entry still jumps to its interceptor.
static bool IsHooked(uint32_t i) { return AllocatorHook[i] && HookInPlace(AllocatorHook[i]); }

// Installs the hooks not yet in place, each at the entry entryOf gives it;
// true when all of them went in.
static bool InstallMissingHooks(void *(*entryOf)(void *))
{
    HookRequest requests[AllocatorFunctionCount];
    uint32_t count = 0;
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++) {
        // A hook whose removal was refused is still in place: hooking its
        // trampoline again would make the interceptor call itself.
        if (IsHooked(i))
            continue;
        RealEntry[i] = entryOf(ImportedEntry[i]);
        requests[count++] = {Interceptor[i], &RealEntry[i], &AllocatorHook[i]};
    }
    return count == 0 || InstallHooks(requests, count) == count;
}

static void *ImportedStub(void *entry) { return entry; }

int InstallAllocatorHooks()
{
    // Hooked where the work is done, so that releases which bypass the
    // imported stub are seen too; where that fails, at the stub itself.
    return InstallMissingHooks(FollowJumpThunks) || InstallMissingHooks(ImportedStub);
}

void RemoveAllocatorHooks(void (*inspect)(const FrozenThread *, void *), void *context)
{
    HookRequest requests[AllocatorFunctionCount];
    uint32_t count = 0;
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++)
        if (IsHooked(i))  // else never installed: nothing to restore
            requests[count++] = {Interceptor[i], nullptr, &AllocatorHook[i]};
    RemoveHooks(requests, count, inspect, context);
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++) {
        // While the entry still jumps here the trampoline must stay the way
        // to the real function; otherwise the hook is gone and so is our claim.
        if (IsHooked(i)) {
            if (i >= FnGlobalAlloc)
                DebugBreak();
            continue;
        }
        RealEntry[i] = ImportedEntry[i];
    }
}
