// The ten interceptors on Wine's real allocator entries, driven through the
// library's own start and stop.
#include <gtest/gtest.h>
#include <windows.h>
#include <unordered_set>
#include <vector>
#include "tarnwick.h"
#include "control/library.h"
#include "control/options.h"
#include "control/thread_registry.h"
#include "tracking/alloc_table.h"
#include "tracking/guarded_region.h"
#include "tracking/interceptors.h"
#include "tracking/table_owner.h"
#include "patching/inline_hook.h"
#include "patching/jump_thunks.h"
#include "patching/runtime_entries.h"
#include "tracking/stack_depot.h"
#include "live_records.h"

namespace {

AllocRecord *FindRecord(void *block)
{
    AllocRecord *found = nullptr;
    ForEachLiveRecord([&](AllocRecord *record) {
        if (record->address == reinterpret_cast<uintptr_t>(block) && record->kind == 1)
            found = record;
    });
    return found;
}

int CountRecords(void *block)
{
    int count = 0;
    ForEachLiveRecord([&](AllocRecord *record) { count += record->address == reinterpret_cast<uintptr_t>(block); });
    return count;
}

uint32_t ThreadDepth()
{
    ThreadEntry *entry = CurrentThreadEntry();
    return entry ? entry->depth : 0xFFFFFFFF;
}

class Interceptors : public ::testing::Test {
protected:
    void SetUp() override
    {
        TarnwickOptions options = {};
        options.stackDepth = 8;
        TarnwickSetOptions(&options);
        TarnwickStart();
    }

    void TearDown() override
    {
        if (RunningFlag)
            TarnwickStop();
        HeapDestroy(RecordHeap);
        RecordHeap = nullptr;
    }

    void Stop() { TarnwickStop(); }
};

// More than the address space holds: every allocator refuses it.
const SIZE_T ImpossibleBytes = sizeof(void *) == 8 ? SIZE_T(0x7FFFFFF0) << 20 : 0x7FFFFFF0;

// Each allocator called from its own function, which notes where it returns.
uintptr_t CallerReturn;
#define ALLOCATING_FUNCTION(name, call)                                         \
    __attribute__((noinline)) void *name(SIZE_T bytes)                          \
    {                                                                           \
        CallerReturn = reinterpret_cast<uintptr_t>(__builtin_return_address(0)); \
        void *block = reinterpret_cast<void *>(call);                           \
        __asm__ __volatile__("" ::: "memory");                                  \
        return block;                                                           \
    }
ALLOCATING_FUNCTION(ViaHeapAlloc, HeapAlloc(GetProcessHeap(), 0, bytes))
ALLOCATING_FUNCTION(ViaGlobalAlloc, GlobalAlloc(GMEM_MOVEABLE, bytes))
ALLOCATING_FUNCTION(ViaLocalAlloc, LocalAlloc(LMEM_FIXED, bytes))

struct Family {
    const char *name;
    void *(*allocate)(SIZE_T);
    void (*release)(void *);
};

const Family Families[] = {
    {"Heap", ViaHeapAlloc, [](void *b) { HeapFree(GetProcessHeap(), 0, b); }},
    {"Global", ViaGlobalAlloc, [](void *b) { GlobalFree(b); }},
    {"Local", ViaLocalAlloc, [](void *b) { LocalFree(b); }},
};

// Thread procedure running a work object's call operator.
template <typename Work> DWORD WINAPI RunWork(void *work)
{
    (*static_cast<Work *>(work))();
    return 0;
}

bool InsideTestProgram(uintptr_t address)
{
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(address), &module) &&
           module == GetModuleHandleW(nullptr);
}

bool InsideFunction(uintptr_t address, void *(*function)(SIZE_T))
{
    uintptr_t start = reinterpret_cast<uintptr_t>(function);
    return address > start && address < start + 128;
}

}  // namespace

TEST_F(Interceptors, EachFamilyRecordsOnceWithTheCallersStack)
{
    for (const Family &family : Families) {
        SCOPED_TRACE(family.name);
        void *block = family.allocate(1234);
        ASSERT_NE(nullptr, block);
        uintptr_t expectedCaller = CallerReturn;
        AllocRecord *record = FindRecord(block);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(1, CountRecords(block)) << "nested allocator calls must not record";
        EXPECT_EQ(1234u, record->size);
        EXPECT_EQ(1u, record->kind);
        EXPECT_TRUE(InsideFunction(StackFrames(record->stack)[0], family.allocate)) << std::hex << StackFrames(record->stack)[0];
        EXPECT_EQ(expectedCaller, StackFrames(record->stack)[1]);
        family.release(block);
        EXPECT_EQ(0, CountRecords(block));
    }
}

TEST_F(Interceptors, ZeroByteAllocationIsRecordedWithSizeZero)
{
    void *block = HeapAlloc(GetProcessHeap(), 0, 0);
    ASSERT_NE(nullptr, block);
    AllocRecord *record = FindRecord(block);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(0u, record->size);
    HeapFree(GetProcessHeap(), 0, block);
}

TEST_F(Interceptors, AllocationsBeforeStartAreNotRecordedAndTheirReleasePassesThrough)
{
    Stop();
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    void *early = HeapAlloc(GetProcessHeap(), 0, 64);
    TarnwickStart();
    EXPECT_EQ(nullptr, FindRecord(early));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, early));
}

TEST_F(Interceptors, MovingHeapReAllocKeepsTheFirstStack)
{
    HANDLE heap = GetProcessHeap();
    void *block = HeapAlloc(heap, 0, 16);
    void *blocker = HeapAlloc(heap, 0, 16);  // keeps the block from growing in place
    uintptr_t frames[8];
    memcpy(frames, StackFrames(FindRecord(block)->stack), sizeof frames);
    void *moved = HeapReAlloc(heap, 0, block, 300000);
    ASSERT_NE(nullptr, moved);
    ASSERT_NE(block, moved);
    EXPECT_EQ(nullptr, FindRecord(block));
    AllocRecord *record = FindRecord(moved);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(300000u, record->size);
    EXPECT_EQ(0, memcmp(frames, StackFrames(record->stack), sizeof frames));
    HeapFree(heap, 0, moved);
    EXPECT_EQ(nullptr, FindRecord(moved));
    HeapFree(heap, 0, blocker);
}

TEST_F(Interceptors, FailingHeapReAllocLeavesTheRecordUnderTheOldBlock)
{
    HANDLE heap = GetProcessHeap();
    void *block = HeapAlloc(heap, 0, 16);
    SetLastError(0);
    void *result = HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, ImpossibleBytes);
    ASSERT_EQ(nullptr, result);
    AllocRecord *record = FindRecord(block);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(16u, record->size);
    HeapFree(heap, 0, block);
    EXPECT_EQ(nullptr, FindRecord(block));
}

TEST_F(Interceptors, NestedOrFilteredHeapReAllocDoesNotTouchTheRecord)
{
    HANDLE heap = GetProcessHeap();
    for (int filtered = 0; filtered < 2; filtered++) {
        SCOPED_TRACE(filtered ? "filtered thread" : "nested call");
        void *block = HeapAlloc(heap, 0, 16);
        void *blocker = HeapAlloc(heap, 0, 16);
        uint32_t savedDepth = 0;
        if (filtered) {
            Options.ownThreadOnly = 1;
            Options.optionsThreadId = GetCurrentThreadId() + 4;
        } else {
            EnterInterceptor(&savedDepth);
        }
        void *moved = HeapReAlloc(heap, 0, block, 300000);
        if (filtered)
            Options.ownThreadOnly = 0;
        else
            LeaveInterceptor(savedDepth);
        ASSERT_NE(block, moved);
        // The record does not follow the block. Whether it stays under the old
        // address depends on the heap: Wine's resize releases the old block
        // through the hooked RtlFreeHeap, which drops it.
        if (AllocRecord *record = FindRecord(block)) {
            EXPECT_EQ(16u, record->size);
        }
        EXPECT_EQ(nullptr, FindRecord(moved));
        HeapFree(heap, 0, moved);
        HeapFree(heap, 0, blocker);
    }
}

TEST_F(Interceptors, HandleReAllocMovesTheRecordFromAnyThreadAndAnyDepth)
{
    HGLOBAL global = GlobalAlloc(GMEM_MOVEABLE, 32);
    HLOCAL local = LocalAlloc(LMEM_MOVEABLE, 32);
    struct Work {
        HGLOBAL global;
        HLOCAL local;
        void operator()()
        {
            global = GlobalReAlloc(global, 5000, GMEM_MOVEABLE);
            local = LocalReAlloc(local, 6000, LMEM_MOVEABLE);
        }
    } work = {global, local};
    Options.ownThreadOnly = 1;  // the options thread is this one: the worker is filtered
    HANDLE thread = CreateThread(nullptr, 0, RunWork<Work>, &work, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Options.ownThreadOnly = 0;
    ASSERT_NE(nullptr, work.global);
    ASSERT_NE(nullptr, work.local);
    ASSERT_NE(nullptr, FindRecord(work.global));
    EXPECT_EQ(5000u, FindRecord(work.global)->size);
    ASSERT_NE(nullptr, FindRecord(work.local));
    EXPECT_EQ(6000u, FindRecord(work.local)->size);

    // Attribute-only resize: the size becomes the byte-count argument anyway.
    uint32_t savedDepth;
    EnterInterceptor(&savedDepth);  // and as a nested call
    HGLOBAL same = GlobalReAlloc(work.global, 77, GMEM_MODIFY | GMEM_MOVEABLE);
    LeaveInterceptor(savedDepth);
    ASSERT_EQ(work.global, same);
    ASSERT_NE(nullptr, FindRecord(same));
    EXPECT_EQ(77u, FindRecord(same)->size);
    GlobalFree(work.global);
    LocalFree(work.local);
    EXPECT_EQ(nullptr, FindRecord(work.global));
    EXPECT_EQ(nullptr, FindRecord(work.local));
}

TEST_F(Interceptors, BlockFromOneFamilyReleasedByAnother)
{
    void *block = HeapAlloc(GetProcessHeap(), 0, 40);
    ASSERT_NE(nullptr, FindRecord(block));
    LocalFree(block);  // Wine frees a fixed pointer from the process heap
    EXPECT_EQ(nullptr, FindRecord(block));
    HGLOBAL fixed = GlobalAlloc(GMEM_FIXED, 40);
    ASSERT_NE(nullptr, FindRecord(fixed));
    HeapFree(GetProcessHeap(), 0, fixed);
    EXPECT_EQ(nullptr, FindRecord(fixed));
}

// The same release calls with and without the hooks give the same result and
// last-error value.
TEST_F(Interceptors, UnrecordedNullAndInvalidReleasesPassThrough)
{
    struct Outcome {
        DWORD result;
        DWORD error;
    };
    auto releases = []() {
        std::vector<Outcome> outcomes;
        auto note = [&](DWORD result) { outcomes.push_back({result, GetLastError()}); };
        SetLastError(0xBEEF);
        note(HeapFree(GetProcessHeap(), 0, nullptr));
        SetLastError(0xBEEF);
        note(reinterpret_cast<uintptr_t>(GlobalFree(nullptr)));
        SetLastError(0xBEEF);
        note(reinterpret_cast<uintptr_t>(LocalFree(nullptr)));
        SetLastError(0xBEEF);
        note(reinterpret_cast<uintptr_t>(GlobalFree(reinterpret_cast<HGLOBAL>(0x0BAD0004))));
        SetLastError(0xBEEF);
        note(reinterpret_cast<uintptr_t>(LocalReAlloc(reinterpret_cast<HLOCAL>(0x0BAD0004), 10, LMEM_MOVEABLE)));
        SetLastError(0xBEEF);
        note(reinterpret_cast<uintptr_t>(HeapReAlloc(GetProcessHeap(), HEAP_REALLOC_IN_PLACE_ONLY,
                                                 HeapAlloc(GetProcessHeap(), 0, 8), ImpossibleBytes)));
        return outcomes;
    };
    std::vector<Outcome> hooked = releases();
    Stop();
    std::vector<Outcome> plain = releases();
    ASSERT_EQ(plain.size(), hooked.size());
    for (size_t i = 0; i < plain.size(); i++) {
        EXPECT_EQ(plain[i].result, hooked[i].result) << i;
        EXPECT_EQ(plain[i].error, hooked[i].error) << i;
    }
}

namespace {
struct RaiseContext {
    HANDLE heap;
    void *block;
};
void ImpossibleAlloc(void *context)
{
    HeapAlloc(static_cast<RaiseContext *>(context)->heap, HEAP_GENERATE_EXCEPTIONS, ImpossibleBytes);
}
void ImpossibleReAlloc(void *context)
{
    auto *c = static_cast<RaiseContext *>(context);
    HeapReAlloc(c->heap, HEAP_GENERATE_EXCEPTIONS, c->block, ImpossibleBytes);
}
}  // namespace

TEST_F(Interceptors, ExceptionFromTheRealAllocatorReachesTheCallerAndClosesTheBracket)
{
    HANDLE heap = GetProcessHeap();
    RaiseContext context = {heap, HeapAlloc(heap, 0, 24)};
    ASSERT_NE(nullptr, FindRecord(context.block));
    uint32_t depth = ThreadDepth();

    EXPECT_EQ(STATUS_NO_MEMORY, RunGuarded(ImpossibleAlloc, &context));
    EXPECT_EQ(depth, ThreadDepth());

    EXPECT_EQ(STATUS_NO_MEMORY, RunGuarded(ImpossibleReAlloc, &context));
    EXPECT_EQ(depth, ThreadDepth());
    AllocRecord *record = FindRecord(context.block);
    ASSERT_NE(nullptr, record) << "the resize puts its record back";
    EXPECT_EQ(24u, record->size);

    void *after = HeapAlloc(heap, 0, 8);
    EXPECT_NE(nullptr, FindRecord(after)) << "the thread records again";
    HeapFree(heap, 0, after);
    HeapFree(heap, 0, context.block);
}

namespace {
HANDLE WINAPI RaisingHandleReAlloc(HANDLE, SIZE_T, UINT)
{
    RaiseException(STATUS_NO_MEMORY, 0, 0, nullptr);
    return nullptr;
}
void ResizeHandle(void *block) { GlobalReAlloc(block, 5000, GMEM_MOVEABLE); }
void ResizeLocalHandle(void *block) { LocalReAlloc(block, 5000, LMEM_MOVEABLE); }
}  // namespace

// A Global or Local resize that fails or raises keeps the record under the
// old block, as a heap resize does.
TEST_F(Interceptors, HandleReAllocThatFailsOrRaisesKeepsTheRecord)
{
    struct Case {
        AllocatorFunction function;
        void (*resize)(void *);
    } cases[] = {{FnGlobalReAlloc, ResizeHandle}, {FnLocalReAlloc, ResizeLocalHandle}};
    for (const Case &c : cases) {
        void *block = c.function == FnGlobalReAlloc ? GlobalAlloc(GMEM_FIXED, 40) : LocalAlloc(LMEM_FIXED, 40);
        ASSERT_NE(nullptr, FindRecord(block));
        // GMEM_FIXED blocks cannot move without GMEM_MOVEABLE: the real call fails.
        EXPECT_EQ(nullptr, c.function == FnGlobalReAlloc ? GlobalReAlloc(block, 1 << 20, 0)
                                                         : LocalReAlloc(block, 1 << 20, 0));
        AllocRecord *record = FindRecord(block);
        ASSERT_NE(nullptr, record) << c.function;
        EXPECT_EQ(40u, record->size);

        void *real = RealEntry[c.function];
        RealEntry[c.function] = reinterpret_cast<void *>(RaisingHandleReAlloc);
        uint32_t depth = ThreadDepth();
        EXPECT_EQ(STATUS_NO_MEMORY, RunGuarded(c.resize, block));
        RealEntry[c.function] = real;
        EXPECT_EQ(depth, ThreadDepth());
        record = FindRecord(block);
        ASSERT_NE(nullptr, record) << "the record is back after the exception: " << c.function;
        EXPECT_EQ(40u, record->size);
        GlobalFree(block);
        EXPECT_EQ(nullptr, FindRecord(block));
    }
}

// A release that no hook saw leaves a stale record; when the heap hands the
// address out again the new block replaces it.
TEST_F(Interceptors, AnAddressIsNeverLiveTwice)
{
    typedef BOOL(WINAPI * FreeFn)(HANDLE, DWORD, LPVOID);
    HANDLE heap = HeapCreate(0, 0, 0);
    void *first = HeapAlloc(heap, 0, 48);
    ASSERT_NE(nullptr, FindRecord(first));
    reinterpret_cast<FreeFn>(RealEntry[FnHeapFree])(heap, 0, first);  // past the interceptor
    ASSERT_EQ(1, CountRecords(first));
    void *again = nullptr;
    std::vector<void *> others;
    for (int i = 0; i < 64 && again != first; i++) {
        again = HeapAlloc(heap, 0, 48);
        if (again != first)
            others.push_back(again);
    }
    ASSERT_EQ(first, again) << "the heap did not hand the address out again";
    EXPECT_EQ(1, CountRecords(first));
    HeapFree(heap, 0, again);
    EXPECT_EQ(0, CountRecords(first));
    for (void *other : others)
        HeapFree(heap, 0, other);
    HeapDestroy(heap);
}

TEST_F(Interceptors, RealFunctionsErrorValueReachesTheCaller)
{
    SetLastError(0);
    EXPECT_EQ(nullptr, HeapReAlloc(GetProcessHeap(), HEAP_REALLOC_IN_PLACE_ONLY, HeapAlloc(GetProcessHeap(), 0, 4),
                                   ImpossibleBytes));
    DWORD hooked = GetLastError();
    EXPECT_NE(0u, hooked);
    // Failing Global and Local allocations leave the value they leave unhooked.
    auto failing = [] {
        SetLastError(0);
        GlobalAlloc(GMEM_FIXED, ImpossibleBytes);
        DWORD global = GetLastError();
        SetLastError(0);
        LocalAlloc(LMEM_FIXED, ImpossibleBytes);
        return std::make_pair(global, GetLastError());
    };
    auto throughHooks = failing();
    Stop();
    EXPECT_EQ(failing(), throughHooks);
    EXPECT_NE(0u, throughHooks.first);
}

TEST_F(Interceptors, OwnThreadOnlyFiltersAllocationsButNotReleases)
{
    Stop();
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    TarnwickOptions options = {};
    options.ownThreadOnly = 1;
    TarnwickSetOptions(&options);
    TarnwickStart();
    void *mine = HeapAlloc(GetProcessHeap(), 0, 10);
    struct Work {
        void *mine;
        void *theirs;
        void operator()()
        {
            theirs = HeapAlloc(GetProcessHeap(), 0, 10);
            HeapFree(GetProcessHeap(), 0, mine);
        }
    } work = {mine, nullptr};
    HANDLE thread = CreateThread(nullptr, 0, RunWork<Work>, &work, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(nullptr, FindRecord(work.theirs)) << "other threads are not recorded";
    EXPECT_EQ(nullptr, FindRecord(mine)) << "a release on any thread drops the record";
    HeapFree(GetProcessHeap(), 0, work.theirs);
    options.ownThreadOnly = 0;
    Stop();
    TarnwickSetOptions(&options);
}

TEST_F(Interceptors, ManyThreadsLeaveExactlyTheBlocksTheyDidNotFree)
{
    enum { Threads = 6, Blocks = 2000 };
    struct Work {
        void *kept[Blocks / 2];
        void *freed[Blocks / 2];
        uint32_t threadId;
        void operator()()
        {
            threadId = GetCurrentThreadId();
            HANDLE heap = GetProcessHeap();
            for (int i = 0; i < Blocks / 2; i++) {
                void *a = (i % 3 == 0) ? GlobalAlloc(GMEM_FIXED, 8 + i) : HeapAlloc(heap, 0, 8 + i);
                void *b = HeapAlloc(heap, 0, 8);
                b = HeapReAlloc(heap, 0, b, 64 + i);
                freed[i] = b;
                HeapFree(heap, 0, b);
                kept[i] = a;
            }
        }
    };
    static Work work[Threads];
    HANDLE threads[Threads];
    for (int t = 0; t < Threads; t++) {
        threads[t] = CreateThread(nullptr, 0, RunWork<Work>, &work[t], 0, nullptr);
    }
    WaitForMultipleObjects(Threads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    // The frees of a thread's way out, through the hooks, made no new entry.
    for (ThreadEntry *head : ThreadRegistry)
        for (ThreadEntry *entry = head; entry; entry = entry->next)
            for (Work &w : work)
                EXPECT_NE(w.threadId, entry->threadId);
    Stop();
    for (Work &w : work)
        for (int i = 0; i < Blocks / 2; i++) {
            AllocRecord *record = FindRecord(w.kept[i]);
            ASSERT_NE(nullptr, record) << i;
            EXPECT_EQ(static_cast<uint32_t>(8 + i), record->size);
        }
    // Exactly one record per kept block, and none for a freed block whose
    // address no kept block took over. Only the workers' own records count:
    // Wine's thread start-up allocates inside ntdll and frees some of it past
    // the hooked entries, so stale system records may share an address.
    std::unordered_set<uintptr_t> kept, freed;
    for (Work &w : work)
        for (int i = 0; i < Blocks / 2; i++) {
            kept.insert(reinterpret_cast<uintptr_t>(w.kept[i]));
            freed.insert(reinterpret_cast<uintptr_t>(w.freed[i]));
        }
    size_t keptRecords = 0, staleRecords = 0;
    ForEachLiveRecord([&](AllocRecord *record) {
        if (!InsideTestProgram(StackFrames(record->stack)[0]))
            return;
        keptRecords += kept.count(record->address);
        staleRecords += freed.count(record->address) && !kept.count(record->address);
    });
    EXPECT_EQ(kept.size(), keptRecords);
    EXPECT_EQ(0u, staleRecords);
    for (Work &w : work)
        for (int i = 0; i < Blocks / 2; i++)
            HeapFree(GetProcessHeap(), 0, w.kept[i]);
}

// The thread that owns the table, terminated while it works in it: the next
// thread that records takes the table over without waiting, and its block is
// recorded as usual.
namespace {
volatile LONG OwnerRounds;
HANDLE OwnerGo;

DWORD WINAPI AllocateWithoutPause(void *heap)
{
    WaitForSingleObject(OwnerGo, INFINITE);
    for (;;) {
        HeapFree(heap, 0, HeapAlloc(heap, 0, 40));
        InterlockedIncrement(&OwnerRounds);
    }
}

DWORD WINAPI AllocateOnce(void *block)
{
    *static_cast<void **>(block) = HeapAlloc(GetProcessHeap(), 0, 77);
    return 0;
}
}  // namespace

TEST_F(Interceptors, OwnerTerminatedInsideTheTableIsNotWaitedFor)
{
    Stop();
    // Its own heap: a thread ended inside Wine's heap code leaves that heap
    // locked.
    HANDLE heap = HeapCreate(0, 0, 0);
    OwnerGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OwnerRounds = 0;
    HANDLE owner = CreateThread(nullptr, 0, AllocateWithoutPause, heap, 0, nullptr);
    ASSERT_NE(nullptr, owner);
    TarnwickStart();  // nothing allocates on this thread until the block below
    SetEvent(OwnerGo);
    while (OwnerRounds < 1000)
        Sleep(1);
    ASSERT_EQ(LONG(GetThreadId(owner)), TableOwner.ownerId);
    // Caught inside the table: its flag reads true once it is suspended.
    bool caughtInside = false;
    for (int attempt = 0; attempt < 100000 && !caughtInside; attempt++) {
        // Let it run on from where the last suspension left it, by a varying
        // amount, so that each attempt meets a fresh point of its loop.
        for (LONG seen = OwnerRounds; OwnerRounds == seen;)
            __asm__ __volatile__("pause");
        for (int spin = attempt % 97; spin > 0; spin--)
            __asm__ __volatile__("pause");
        SuspendThread(owner);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(owner, &context);
        caughtInside = OwnerInside.inside != 0;
        if (!caughtInside)
            ResumeThread(owner);
    }
    ASSERT_TRUE(caughtInside);
    ASSERT_FALSE(TableOwner.sharing) << "nothing else has recorded meanwhile";
    TerminateThread(owner, 1);
    WaitForSingleObject(owner, INFINITE);
    CloseHandle(owner);

    void *block = nullptr;
    HANDLE other = CreateThread(nullptr, 0, AllocateOnce, &block, 0, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(other, 10000)) << "the second thread waits for a dead owner";
    CloseHandle(other);
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(TableOwner.shared);
    AllocRecord *record = FindRecord(block);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(77u, record->size);
    Stop();
    HeapFree(GetProcessHeap(), 0, block);
    CloseHandle(OwnerGo);
}

#if !defined(_WIN64)  // an x86 call frame and entry
// A thread stopped inside HeapAlloc's first bytes, as if it had just called
// it, while the hook goes in and comes out again: it is carried into the
// trampoline and back, and its allocation completes either way.
extern "C" void *volatile LandedBlock;
void *volatile LandedBlock;
extern "C" void LandAfterAllocation();
__asm__(R"(
    .text
    .globl _LandAfterAllocation
_LandAfterAllocation:
    movl %eax, _LandedBlock
1:  pause
    jmp 1b
)");

namespace {
DWORD WINAPI SpinForever(void *)
{
    for (;;)
        __asm__ __volatile__("pause");
}
}  // namespace

TEST_F(Interceptors, ThreadInsideTheAllocatorEntryRunsOnAcrossInstallAndRemoval)
{
    Stop();
    auto *entry = static_cast<uint8_t *>(FollowJumpThunks(ImportedEntry[FnHeapAlloc]));
    if (entry[0] != 0x8B || entry[1] != 0xFF)
        GTEST_SKIP() << "HeapAlloc does not begin with a two-byte instruction here";
    for (int runHooked = 0; runHooked < 2; runHooked++) {
        SCOPED_TRACE(runHooked ? "resumed while hooked" : "resumed after removal");
        LandedBlock = nullptr;
        HANDLE thread = CreateThread(nullptr, 0, SpinForever, nullptr, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        Sleep(10);
        SuspendThread(thread);
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        ASSERT_TRUE(GetThreadContext(thread, &context));
        // A call frame as HeapAlloc(GetProcessHeap(), 0, 48) leaves it, with
        // the thread past the entry's first instruction.
        auto *frame = reinterpret_cast<uint32_t *>((context.Esp - 256) & ~15u);
        frame[0] = reinterpret_cast<uintptr_t>(LandAfterAllocation);
        frame[1] = reinterpret_cast<uintptr_t>(GetProcessHeap());
        frame[2] = 0;
        frame[3] = 48;
        context.Esp = reinterpret_cast<uintptr_t>(frame);
        context.Eip = reinterpret_cast<uintptr_t>(entry + 2);
        ASSERT_TRUE(SetThreadContext(thread, &context));

        TarnwickStart();
        ASSERT_TRUE(GetThreadContext(thread, &context));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(AllocatorHook[FnHeapAlloc]->trampoline + 2), context.Eip);
        if (!runHooked) {
            Stop();
            ASSERT_TRUE(GetThreadContext(thread, &context));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(entry + 2), context.Eip);
        }
        ResumeThread(thread);
        for (int wait = 0; wait < 2000 && !LandedBlock; wait++)
            Sleep(1);
        ASSERT_NE(nullptr, LandedBlock);
        EXPECT_EQ(48u, HeapSize(GetProcessHeap(), 0, LandedBlock));
        TerminateThread(thread, 0);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        HeapFree(GetProcessHeap(), 0, LandedBlock);
        if (runHooked)
            Stop();
    }
}
#endif

TEST_F(Interceptors, StopRestoresEveryEntryAndTheRealEntries)
{
    Stop();
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    const char *names[] = {"HeapAlloc",     "HeapReAlloc", "HeapFree",   "RtlDestroyHeap", "GlobalAlloc",
                           "GlobalReAlloc", "GlobalFree",  "LocalAlloc", "LocalReAlloc",   "LocalFree"};
    const void *entries[AllocatorFunctionCount];
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++)
        entries[i] = reinterpret_cast<const void *>(
            GetProcAddress(i == FnHeapDestroy ? GetModuleHandleW(L"ntdll") : kernel32, names[i]));
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++) {
        EXPECT_EQ(entries[i], RealEntry[i]) << i;
        ASSERT_NE(nullptr, AllocatorHook[i]) << "kept for the next run: " << i;
        EXPECT_FALSE(HookInPlace(AllocatorHook[i])) << i;
        EXPECT_NE(0xE9, *static_cast<const uint8_t *>(entries[i])) << i;
        EXPECT_NE(0xE9, *AllocatorHook[i]->target) << i;
    }
}

// One entry that cannot be hooked (a function that returns at once): the
// others record as usual, and the stop passes over the missing hook without
// breaking into a debugger (with none attached that would end this program).
TEST_F(Interceptors, AnEntryThatCannotBeHookedIsSkipped)
{
    Stop();
    HeapDestroy(RecordHeap);
    RecordHeap = nullptr;
    auto *shortFunction = static_cast<uint8_t *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    ASSERT_NE(nullptr, shortFunction);
    memset(shortFunction, 0xCC, 4096);
    shortFunction[0] = 0xC3;
    void *localFree = ImportedEntry[FnLocalFree];
    HookRecord *kept = AllocatorHook[FnLocalFree];
    ImportedEntry[FnLocalFree] = shortFunction;
    AllocatorHook[FnLocalFree] = nullptr;
    TarnwickStart();
    EXPECT_EQ(nullptr, AllocatorHook[FnLocalFree]);
    EXPECT_EQ(shortFunction, RealEntry[FnLocalFree]);
    EXPECT_EQ(0xC3, shortFunction[0]);
    void *block = HeapAlloc(GetProcessHeap(), 0, 20);
    EXPECT_NE(nullptr, FindRecord(block)) << "the other hooks record";
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(0, CountRecords(block));
    Stop();
    EXPECT_EQ(nullptr, AllocatorHook[FnLocalFree]);
    for (uint32_t i = 0; i < AllocatorFunctionCount; i++)
        EXPECT_TRUE(!AllocatorHook[i] || !HookInPlace(AllocatorHook[i])) << i;
    ImportedEntry[FnLocalFree] = localFree;
    RealEntry[FnLocalFree] = localFree;
    AllocatorHook[FnLocalFree] = kept;
    VirtualFree(shortFunction, 0, MEM_RELEASE);
}

// Each entry once, hooked once: Wine's ucrtbase exports _strdup also as
// _mbsdup (and msvcrt its operator new also as new[]).
TEST(RuntimeEntries, AnEntryOfTwoNamesIsListedOnce)
{
    HMODULE ucrtbase = LoadLibraryW(L"ucrtbase");
    void *entry = reinterpret_cast<void *>(GetProcAddress(ucrtbase, "_strdup"));
    ASSERT_EQ(entry, reinterpret_cast<void *>(GetProcAddress(ucrtbase, "_mbsdup")));
    void *entries[64];
    uintptr_t ends[64];
    ProgramStart start;
    uint32_t count = FindRuntimeEntries(entries, ends, 64, &start);
    std::unordered_set<void *> distinct(entries, entries + count);
    EXPECT_EQ(count, distinct.size());
    EXPECT_EQ(1u, distinct.count(entry));
}
