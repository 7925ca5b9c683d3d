// Hooks installed and removed while other threads run: a thread stopped
// inside the overwritten bytes is carried over, suspension takes no lock a
// suspended thread may hold and catches threads born meanwhile, and callers
// in tight loops never see a half-written entry.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include "hook_test_support.h"
#include "patching/inline_hook.h"
#include "patching/thread_freeze.h"

namespace {

using Bytes = std::vector<uint8_t>;
typedef int (*Function)(int, int);

uint8_t *NewCode(const Bytes &bytes)
{
    uint8_t *code = static_cast<uint8_t *>(
        VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    memset(code, 0xCC, 0x1000);
    memcpy(code, bytes.data(), bytes.size());
    DWORD old;
    VirtualProtect(code, 0x1000, PAGE_EXECUTE_READ, &old);
    return code;
}

// fill(buffer, count, value) calls through FillCallee the entry
// nop; rep stosd; nop; nop; mov eax, edi (x64: rax, rdi); ret
// whose rep stosd at offset 1 keeps a thread inside the first five bytes for
// as long as it writes. The result, the end of what was written, shows that
// every dword was stored and the rest of the function ran.
void *FillCallee;
#if defined(_WIN64)
// push rdi; mov rdi, rcx; mov ecx, edx; mov eax, r8d; mov r11, &FillCallee; call [r11]; pop rdi; ret
const Bytes FillCaller = {0x57, 0x48, 0x89, 0xCF, 0x89, 0xD1, 0x44, 0x89, 0xC0, 0x49, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0,
                          0x41, 0xFF, 0x13, 0x5F, 0xC3};
const size_t FillCalleeAt = 11;
const Bytes FillReturn = {0x48, 0x8B, 0xC7, 0xC3};
// Wine's x64 entry shape: lea rsp, [rsp+0]; lea eax, [rcx+rdx]; ret
const Bytes AddCode = {0x48, 0x8D, 0xA4, 0x24, 0, 0, 0, 0, 0x8D, 0x04, 0x11, 0xC3};
#else
// push edi; load; call [FillCallee]; pop edi; ret
const Bytes FillCaller = {0x57, 0x8B, 0x7C, 0x24, 0x08, 0x8B, 0x4C, 0x24, 0x0C, 0x8B, 0x44, 0x24, 0x10,
                          0xFF, 0x15, 0, 0, 0, 0, 0x5F, 0xC3};
const size_t FillCalleeAt = 15;
const Bytes FillReturn = {0x8B, 0xC7, 0xC3};
const Bytes AddCode = {0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x8B, 0x45, 0x08, 0x03, 0x45, 0x0C, 0x5D, 0xC3};
#endif
const uint32_t FillValue = 0x5A5A5A5A;
const uint32_t FillCount = 8 << 20;  // 32 MB of fresh pages: tens of milliseconds

struct FillCode {
    uint8_t *page;
    uint8_t *entry;
    uintptr_t (*fill)(uint32_t *buffer, uint32_t count, uint32_t value);
};

FillCode NewFillCode()
{
    Bytes code = FillCaller;
    void **callee = &FillCallee;
    memcpy(&code[FillCalleeAt], &callee, sizeof callee);
    code.resize(0x40, 0xCC);
    code.insert(code.end(), {0x90, 0xF3, 0xAB, 0x90, 0x90});
    code.insert(code.end(), FillReturn.begin(), FillReturn.end());
    code.resize(0x50, 0xCC);  // a second entry that begins with the rep stosd
    code.insert(code.end(), {0xF3, 0xAB, 0x90, 0x90, 0x90});
    code.insert(code.end(), FillReturn.begin(), FillReturn.end());
    FillCode f;
    f.page = NewCode(code);
    f.entry = f.page + 0x40;
    f.fill = reinterpret_cast<decltype(f.fill)>(f.page);
    return f;
}

struct Fill {
    FillCode code;
    uint32_t *buffer;
    uintptr_t result;
};

DWORD WINAPI FillThread(void *parameter)
{
    Fill *fill = static_cast<Fill *>(parameter);
    fill->result = fill->code.fill(fill->buffer, FillCount, FillValue);
    return 0;
}

// Starts a fill through FillCallee and suspends its thread while the rep
// stosd runs at `at`; null when the fill got past it first.
HANDLE ParkAt(Fill *fill, const uint8_t *at)
{
    fill->buffer = static_cast<uint32_t *>(VirtualAlloc(nullptr, FillCount * 4, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    fill->result = 0;
    HANDLE thread = CreateThread(nullptr, 0, FillThread, fill, 0, nullptr);
    while (*static_cast<volatile uint32_t *>(fill->buffer) == 0)
        YieldProcessor();
    SuspendThread(thread);
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    if (GetThreadContext(thread, &context) && context.InstructionPointer == uintptr_t(at))
        return thread;
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    VirtualFree(fill->buffer, 0, MEM_RELEASE);
    return nullptr;
}

HANDLE ParkWithRetries(Fill *fill, const uint8_t *at)
{
    for (int attempt = 0; attempt < 10; ++attempt)
        if (HANDLE thread = ParkAt(fill, at))
            return thread;
    return nullptr;
}

uintptr_t EipOf(HANDLE thread)
{
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    return GetThreadContext(thread, &context) ? context.InstructionPointer : 0;
}

// Lets the parked thread finish and checks that it wrote everything and
// returned through the rest of the function.
void ExpectFillCompletes(HANDLE thread, Fill *fill)
{
    ResumeThread(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(fill->result, uintptr_t(fill->buffer + FillCount));
    EXPECT_EQ(fill->buffer[FillCount - 1], FillValue);
    VirtualFree(fill->buffer, 0, MEM_RELEASE);
}

TEST(ParkedThread, CarriedIntoTheTrampolineAndBackAndRunsOnCorrectly)
{
    Fill fill = {NewFillCode(), nullptr, 0};
    uint8_t *entry = fill.code.entry;
    Bytes before = BytesAt(entry, 8);

    // Stopped inside the entry's first bytes while the hook goes in.
    FillCallee = entry;
    HANDLE thread = ParkWithRetries(&fill, entry + 1);
    ASSERT_NE(thread, nullptr) << "the fill never stayed at its rep stosd long enough";
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(EipOf(thread), uintptr_t(record->trampoline + 1));
    ExpectFillCompletes(thread, &fill);
    EXPECT_EQ(detour->calls, 0);

    // Stopped inside the trampoline's copy while the hook comes out.
    FillCallee = record->trampoline;
    thread = ParkWithRetries(&fill, record->trampoline + 1);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(RemoveHook(record), 1);
    EXPECT_EQ(EipOf(thread), uintptr_t(entry + 1));
    EXPECT_EQ(BytesAt(entry, 8), before);

    // The kept record is reused, then given up for a thread stopped between
    // two instructions' starts: it stays valid for the next install.
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
    context.InstructionPointer = uintptr_t(entry + 2);
    SetThreadContext(thread, &context);
    detour->slot = entry;
    HookRequest request = {detour->code, &detour->slot, &record};
    EXPECT_EQ(InstallHooks(&request, 1), 0u);
    context.InstructionPointer = uintptr_t(entry + 1);
    SetThreadContext(thread, &context);
    EXPECT_EQ(InstallHooks(&request, 1), 1u);
    EXPECT_EQ(EipOf(thread), uintptr_t(record->trampoline + 1));
    ExpectFillCompletes(thread, &fill);
    EXPECT_EQ(RemoveHook(record), 1);

    // Stopped at the entry's first byte: it stays there, so that its call
    // still goes through the detour.
    uint8_t *first = fill.code.page + 0x50;
    FillCallee = first;
    thread = ParkWithRetries(&fill, first);
    ASSERT_NE(thread, nullptr);
    detour = NewCountingDetour(first);
    record = InstallHook(detour->code, &detour->slot);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(EipOf(thread), uintptr_t(first));
    ExpectFillCompletes(thread, &fill);
    EXPECT_EQ(detour->calls, 1);
    EXPECT_EQ(RemoveHook(record), 1);
    VirtualFree(fill.code.page, 0, MEM_RELEASE);
}

// Holds the process heap's lock until told to let go.
struct HeapHolder {
    HANDLE locked, release;
};

DWORD WINAPI HoldHeapLock(void *parameter)
{
    HeapHolder *holder = static_cast<HeapHolder *>(parameter);
    HeapLock(GetProcessHeap());
    SetEvent(holder->locked);
    WaitForSingleObject(holder->release, INFINITE);
    HeapUnlock(GetProcessHeap());
    return 0;
}

TEST(Freeze, TakesNoLockThatASuspendedThreadHolds)
{
    uint8_t *entry = NewCode(AddCode);
    CountingDetour *detour = NewCountingDetour(entry);
    HeapHolder holder = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD holderId;
    HANDLE thread = CreateThread(nullptr, 0, HoldHeapLock, &holder, 0, &holderId);
    ASSERT_EQ(WaitForSingleObject(holder.locked, 10000), WAIT_OBJECT_0);

    // Nothing here may touch the heap, gtest included: a hang is the failure.
    FrozenThreads set;
    int frozen = FreezeOtherThreads(&set);
    bool holderFrozen = false;
    for (uint32_t i = 0; i < set.count; ++i)
        holderFrozen |= set.threads[i].id == holderId && set.threads[i].teb != 0;
    uint32_t count = set.count;
    ThawThreads(&set);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    int sum = reinterpret_cast<Function>(entry)(20, 22);
    int removed = RemoveHook(record);

    SetEvent(holder.release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(frozen, 1);
    EXPECT_TRUE(holderFrozen);
    EXPECT_GE(count, 1u);
    EXPECT_EQ(set.threads, nullptr);
    EXPECT_NE(record, nullptr);
    EXPECT_EQ(sum, 42);
    EXPECT_EQ(detour->calls, 1);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(BytesAt(entry, AddCode.size()), AddCode);
    CloseHandle(holder.locked);
    CloseHandle(holder.release);
}

volatile LONG born, spawned, stopSpawning;

DWORD WINAPI Newborn(void *)
{
    InterlockedIncrement(&born);
    return 0;
}

DWORD WINAPI Spawner(void *)
{
    while (!stopSpawning) {
        if (HANDLE thread = CreateThread(nullptr, 0, Newborn, nullptr, 0, nullptr))
            CloseHandle(thread);
        InterlockedIncrement(&spawned);
    }
    return 0;
}

TEST(Freeze, ThreadsBornDuringTheFreezeAreCaught)
{
    born = spawned = stopSpawning = 0;
    HANDLE spawners[2];
    for (HANDLE &spawner : spawners)
        spawner = CreateThread(nullptr, 0, Spawner, nullptr, 0, nullptr);
    while (born < 20)
        Sleep(1);
    // While frozen, no other thread runs: neither count may move.
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    int freezes = 0, escapes = 0;
    for (int round = 0; round < 100; ++round) {
        FrozenThreads set;
        if (!FreezeOtherThreads(&set))
            continue;
        ++freezes;
        LONG bornBefore = born, spawnedBefore = spawned;
        LARGE_INTEGER start, now;
        QueryPerformanceCounter(&start);
        do
            QueryPerformanceCounter(&now);
        while (now.QuadPart - start.QuadPart < frequency.QuadPart / 1000);
        escapes += born != bornBefore || spawned != spawnedBefore;
        ThawThreads(&set);
    }
    stopSpawning = 1;
    WaitForMultipleObjects(2, spawners, TRUE, INFINITE);
    for (HANDLE spawner : spawners)
        CloseHandle(spawner);
    EXPECT_EQ(freezes, 100);
    EXPECT_EQ(escapes, 0);
    printf("%ld threads born across the freezes\n", long(born));
}

DWORD WINAPI WaitForEvent(void *event)
{
    WaitForSingleObject(event, INFINITE);
    return 0;
}

// GetThreadContext as the freeze calls it once a pass has listed every
// thread, with a thread created first when armed.
void *RealGetThreadContext;
HANDLE CreateWhenArmed;  // the event the created thread waits for
HANDLE CreatedDuringFreeze;

BOOL WINAPI GetContextAfterCreating(HANDLE thread, CONTEXT *context)
{
    if (HANDLE event = InterlockedExchangePointer(&CreateWhenArmed, nullptr))
        CreatedDuringFreeze = CreateThread(nullptr, 0, WaitForEvent, event, 0, nullptr);
    return reinterpret_cast<BOOL(WINAPI *)(HANDLE, CONTEXT *)>(RealGetThreadContext)(thread, context);
}

// A thread created after a pass has listed the threads (its creator's call
// was under way) is found by the next pass.
TEST(Freeze, ThreadCreatedDuringTheFreezeIsFrozenToo)
{
    // A thread to suspend, started (reading its context waits for that), so
    // that the freeze reads its context in turn.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE waiting = CreateThread(nullptr, 0, WaitForEvent, release, 0, nullptr);
    EipOf(waiting);
    RealGetThreadContext = BoundImport("kernel32.dll", "GetThreadContext");
    HookRecord *record = InstallHook(reinterpret_cast<void *>(GetContextAfterCreating), &RealGetThreadContext);
    ASSERT_NE(record, nullptr);
    CreateWhenArmed = release;
    FrozenThreads set;
    int frozen = FreezeOtherThreads(&set), found = 0;
    for (uint32_t i = 0; i < set.count; ++i)
        found += set.threads[i].id == GetThreadId(CreatedDuringFreeze);
    ThawThreads(&set);
    EXPECT_EQ(RemoveHook(record), 1);
    SetEvent(release);
    for (HANDLE handle : {waiting, CreatedDuringFreeze, release})
        CloseHandle(handle);
    EXPECT_EQ(frozen, 1);
    EXPECT_EQ(found, 1);
}

#if defined(_WIN64)
// A thread stopped at the jump back of a trampoline whose entry jumps through
// [rip+disp32] to a pointer 1 GB away (none lies that far from the saved
// bytes): removal carries it behind the entry.
TEST(ParkedThread, CarriedBackFromBehindAJumpThroughRipRelativePointer)
{
    auto *entry = static_cast<uint8_t *>(VirtualAlloc(reinterpret_cast<void *>(0x300000000000), 0x1000,
                                                      MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    auto *cell =
        static_cast<void **>(VirtualAlloc(entry + 0x40000000, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_TRUE(entry && cell);
    memcpy(entry, "\xFF\x25\xFA\xFF\xFF\x3F\xC3", 7);  // jmp [rip+0x3FFFFFFA]; ret
    *cell = entry + 6;
    CountingDetour *detour = NewCountingDetour(entry);
    HookRecord *record = InstallHook(detour->code, &detour->slot);
    ASSERT_NE(record, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, release, 0, nullptr);
    EipOf(thread);
    SuspendThread(thread);
    CONTEXT context, parked;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
    parked = context;
    parked.Rip = uintptr_t(record->trampoline + 6);
    SetThreadContext(thread, &parked);
    EXPECT_EQ(RemoveHook(record), 1);
    EXPECT_EQ(EipOf(thread), uintptr_t(entry + 6));
    SetThreadContext(thread, &context);
    ResumeThread(thread);
    SetEvent(release);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(release);
}
#endif

TEST(Freeze, MoreThreadsThanThePageHoldsGrowTheStorage)
{
    const int Count = 300;  // a page holds 256
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> threads(Count);
    std::vector<DWORD> ids(Count);
    for (int i = 0; i < Count; ++i)
        threads[i] = CreateThread(nullptr, 0, WaitForEvent, release, 0, &ids[i]);
    FrozenThreads set;
    ASSERT_EQ(FreezeOtherThreads(&set), 1);
    int found = 0;
    for (DWORD id : ids)
        for (uint32_t i = 0; i < set.count; ++i)
            found += set.threads[i].id == id;
    uint32_t count = set.count, capacity = set.capacity;
    ThawThreads(&set);
    SetEvent(release);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(release);
    EXPECT_EQ(found, Count);
    EXPECT_GE(count, uint32_t(Count));
    EXPECT_GE(capacity, count);
    EXPECT_GT(capacity, 4096 / sizeof(FrozenThread));
}

DWORD WINAPI FreezeRepeatedly(void *failures)
{
    for (int i = 0; i < 50; ++i) {
        FrozenThreads set;
        if (!FreezeOtherThreads(&set)) {
            InterlockedIncrement(static_cast<volatile LONG *>(failures));
            continue;
        }
        ThawThreads(&set);
    }
    return 0;
}

TEST(Freeze, TwoThreadsFreezingAtOnceTakeTurns)
{
    volatile LONG failures = 0;
    HANDLE threads[2];
    for (HANDLE &thread : threads)
        thread = CreateThread(nullptr, 0, FreezeRepeatedly, const_cast<LONG *>(&failures), 0, nullptr);
    // Each suspending the other mid-freeze would leave both suspended for good.
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 30000), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    EXPECT_EQ(failures, 0);
}

// The detour adds 1000 to the result: each caller knows how many times its
// call went through it. x86: push the two arguments again; call [slot];
// add esp, 8. x64: the arguments stay in rcx and rdx; the call gets its
// shadow space.
#if defined(_WIN64)
const Bytes MarkingCode = {0xF0, 0xFF, 0x05, 0, 0, 0, 0,  // lock inc dword [rip+calls]
                           0x48, 0x83, 0xEC, 0x28,      // sub rsp, 40
                           0xFF, 0x15, 0, 0, 0, 0,      // call [rip+slot]
                           0x48, 0x83, 0xC4, 0x28,      // add rsp, 40
                           0x05, 0xE8, 0x03, 0x00, 0x00, 0xC3};
const size_t MarkingSlotAt = 13;
#else
const Bytes MarkingCode = {0xF0, 0xFF, 0x05, 0, 0, 0, 0,     // lock inc dword [calls]
                           0xFF, 0x74, 0x24, 0x08,          // push dword [esp+8]
                           0xFF, 0x74, 0x24, 0x08,          // push dword [esp+8]
                           0xFF, 0x15, 0, 0, 0, 0,          // call [slot]
                           0x83, 0xC4, 0x08,                // add esp, 8
                           0x05, 0xE8, 0x03, 0x00, 0x00,    // add eax, 1000
                           0xC3};
const size_t MarkingSlotAt = 17;
#endif

struct MarkingDetour {
    uint8_t code[40];
    void *slot;
    volatile LONG calls;
};

MarkingDetour *NewMarkingDetour(void *entry)
{
    MarkingDetour *detour = static_cast<MarkingDetour *>(
        VirtualAlloc(nullptr, sizeof(MarkingDetour), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    detour->slot = entry;
    uint32_t calls = Operand(&detour->calls, detour->code + 7);
    uint32_t slot = Operand(&detour->slot, detour->code + MarkingSlotAt + 4);
    memcpy(detour->code, MarkingCode.data(), MarkingCode.size());
    memcpy(detour->code + 3, &calls, 4);
    memcpy(detour->code + MarkingSlotAt, &slot, 4);
    return detour;
}

struct Caller {
    Function entry;
    volatile LONG *stop;
    int64_t calls, throughDetour, wrong;
};

DWORD WINAPI CallInTightLoop(void *parameter)
{
    Caller *caller = static_cast<Caller *>(parameter);
    for (int a = 0; !*caller->stop; a = (a + 1) & 0xFFF) {
        int extra = caller->entry(a, 7) - a - 7;
        if (extra < 0 || extra % 1000 != 0)
            ++caller->wrong;
        else
            caller->throughDetour += extra / 1000;
        // A yield now and then lets the patching thread and Wine's server
        // run on a machine with fewer cores than callers.
        if ((++caller->calls & 1023) == 0)
            SwitchToThread();
    }
    return 0;
}

// Seen by RemoveHooks for each suspended thread once the entry is back.
struct Inspection {
    const uint8_t *entry;
    const HookRecord *record;
    long threads, entryNotBack, leftInTrampoline;
};

void Inspect(const FrozenThread *thread, void *context)
{
    Inspection *seen = static_cast<Inspection *>(context);
    ++seen->threads;
    seen->entryNotBack += memcmp(seen->entry, seen->record->savedBytes, seen->record->savedLength) != 0;
    seen->leftInTrampoline += thread->eip - uintptr_t(seen->record->trampoline) < seen->record->savedLength + 5;
}

TEST(UnderLoad, InstallAndRemoveHundredsOfTimesWhileThreadsCall)
{
    uint8_t *entry = NewCode(AddCode);
    MarkingDetour *detour = NewMarkingDetour(entry);
    volatile LONG stop = 0;
    const int CallerCount = 3, Cycles = 400;
    Caller callers[CallerCount];
    HANDLE threads[CallerCount];
    for (int i = 0; i < CallerCount; ++i) {
        callers[i] = {reinterpret_cast<Function>(entry), &stop, 0, 0, 0};
        threads[i] = CreateThread(nullptr, 0, CallInTightLoop, &callers[i], 0, nullptr);
    }
    HookRecord *record = nullptr;
    HookRequest request = {detour->code, &detour->slot, &record};
    Inspection seen = {entry, nullptr, 0, 0, 0};
    int cycles = 0, failures = 0, recordsMade = 0;
    HookRecord *last = nullptr;
    for (; cycles < Cycles; ++cycles) {
        failures += InstallHooks(&request, 1) != 1;
        recordsMade += record != last;
        last = record;
        seen.record = record;
        failures += RemoveHooks(&request, 1, Inspect, &seen) != 1;
    }
    stop = 1;
    WaitForMultipleObjects(CallerCount, threads, TRUE, INFINITE);
    int64_t calls = 0, throughDetour = 0, wrong = 0;
    for (int i = 0; i < CallerCount; ++i) {
        CloseHandle(threads[i]);
        calls += callers[i].calls;
        throughDetour += callers[i].throughDetour;
        wrong += callers[i].wrong;
    }
    printf("%d cycles, %lld calls, %lld through the detour\n", cycles, (long long)calls, (long long)throughDetour);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(recordsMade, 1);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(throughDetour, int64_t(detour->calls));
    EXPECT_GT(throughDetour, 0);
    EXPECT_GT(calls, throughDetour);
    EXPECT_GE(seen.threads, long(CallerCount) * cycles);
    EXPECT_EQ(seen.entryNotBack, 0);
    EXPECT_EQ(seen.leftInTrampoline, 0);
    EXPECT_EQ(BytesAt(entry, AddCode.size()), AddCode);
    EXPECT_EQ(detour->slot, static_cast<void *>(entry));
}

}  // namespace
