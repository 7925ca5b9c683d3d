// The thread registry and the interceptor bracket, in process through
// TarnwickTest.dll.
#include "control/thread_registry.h"
#include <gtest/gtest.h>
#include <windows.h>
#include <process.h>
#include <functional>
#include <set>
#include <vector>

namespace {

// The entry of a thread as the registry holds it, found without the lookup
// under test; null when the thread has none. Only for quiet moments.
ThreadEntry *FindEntry(uint32_t threadId)
{
    for (ThreadEntry *entry = ThreadRegistry[ThreadBucket(threadId)]; entry; entry = entry->next)
        if (entry->threadId == threadId)
            return entry;
    return nullptr;
}

int CountEntries(uint32_t threadId)
{
    int count = 0;
    for (ThreadEntry *head : ThreadRegistry)
        for (ThreadEntry *entry = head; entry; entry = entry->next)
            count += entry->threadId == threadId;
    return count;
}

unsigned __stdcall RunFunction(void *argument)
{
    (*static_cast<std::function<void()> *>(argument))();
    return 0;
}

HANDLE StartThread(std::function<void()> *body, unsigned *id = nullptr)
{
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunFunction, body, 0, id));
}

// As a thread the registry has never seen: its entry gone, and the thread
// not marked as ended, which it would otherwise stay.
void ForgetCurrentThread()
{
    RemoveCurrentThreadEntry();
    TlsSetValue(EntrySlot, nullptr);
}

void RunOnNewThread(std::function<void()> body)
{
    HANDLE thread = StartThread(&body);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

}  // namespace

TEST(ThreadRegistry, BucketIsIdOver4Modulo63)
{
    EXPECT_EQ(1u, ThreadBucket(4));
    EXPECT_EQ(1u, ThreadBucket(256));
    EXPECT_EQ(2u, ThreadBucket(8));
    EXPECT_EQ(0u, ThreadBucket(0));
    EXPECT_EQ(0u, ThreadBucket(252));
    EXPECT_EQ(62u, ThreadBucket(251));
    EXPECT_EQ(ThreadBucket(7), ThreadBucket(4));
    EXPECT_EQ((0xFFFFFFFFu >> 2) % 63, ThreadBucket(0xFFFFFFFFu));
}

TEST(ThreadRegistry, EntryLivesInItsThreadsBucketOnly)
{
    uint32_t id = GetCurrentThreadId();
    ThreadEntry *entry = CurrentThreadEntry();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(id, entry->threadId);
    EXPECT_EQ(entry, CurrentThreadEntry());
    EXPECT_EQ(entry, FindEntry(id));
    EXPECT_EQ(1, CountEntries(id));
}

TEST(ThreadRegistry, ChainsHoldOtherThreadsOfTheSameBucket)
{
    uint32_t id = GetCurrentThreadId();
    ForgetCurrentThread();
    ASSERT_EQ(nullptr, FindEntry(id));
    // Strangers sharing this thread's bucket (id + 252 and id + 504 hash alike),
    // one ahead of and one behind our entry.
    ThreadEntry **head = &ThreadRegistry[ThreadBucket(id)];
    ThreadEntry behind = {id + 504, *head, 7, {}, nullptr, {}};
    *head = &behind;
    ThreadEntry *mine = CurrentThreadEntry();
    ASSERT_NE(nullptr, mine);
    EXPECT_NE(&behind, mine);
    EXPECT_EQ(mine, *head) << "new entries go in front";
    EXPECT_EQ(&behind, mine->next);
    EXPECT_EQ(0u, mine->depth);
    ThreadEntry ahead = {id + 252, mine, 9, {}, nullptr, {}};
    *head = &ahead;
    EXPECT_EQ(mine, CurrentThreadEntry());

    // Removal unlinks only our entry and keeps the chain around it; the
    // ended thread gets no entry again, inside a bracket or not.
    RemoveCurrentThreadEntry();
    EXPECT_EQ(&ahead, *head);
    EXPECT_EQ(&behind, ahead.next);
    EXPECT_EQ(7u, behind.depth);
    EXPECT_EQ(9u, ahead.depth);
    EXPECT_FALSE(ThreadInsideBracket(OwnTeb()));
    uint32_t saved = 99, inner = 99;
    EnterInterceptor(&saved);
    EnterInterceptor(&inner);
    EXPECT_EQ(0u, saved);
    LeaveInterceptor(inner);
    EXPECT_TRUE(ThreadInsideBracket(OwnTeb())) << "a bracket still open";
    LeaveInterceptor(saved);
    EXPECT_FALSE(ThreadInsideBracket(OwnTeb()));
    EXPECT_EQ(nullptr, CurrentThreadEntry());
    EXPECT_EQ(0, CountEntries(id));
    ForgetCurrentThread();  // no entry: nothing changes
    EXPECT_EQ(&ahead, *head);
    EXPECT_EQ(&behind, ahead.next);

    *head = behind.next;
    ASSERT_NE(nullptr, CurrentThreadEntry());
}

TEST(Bracket, NestingOnOneThread)
{
    ForgetCurrentThread();
    EXPECT_FALSE(ThreadInsideBracket(OwnTeb()));
    EXPECT_FALSE(ThreadInsideBracket(0)) << "a thread made but not yet started has no TEB";
    uint32_t outer, middle, inner;
    EnterInterceptor(&outer);
    ThreadEntry *entry = FindEntry(GetCurrentThreadId());
    ASSERT_NE(nullptr, entry) << "the first bracket creates the entry";
    EXPECT_EQ(1u, outer) << "a fresh entry counts as outermost";
    EXPECT_EQ(2u, entry->depth);
    EXPECT_TRUE(ThreadInsideBracket(OwnTeb()));
    EnterInterceptor(&middle);
    EnterInterceptor(&inner);
    EXPECT_EQ(2u, middle);
    EXPECT_EQ(3u, inner);
    EXPECT_EQ(4u, entry->depth);
    LeaveInterceptor(inner);
    EXPECT_EQ(3u, entry->depth);
    LeaveInterceptor(middle);
    EXPECT_EQ(2u, entry->depth);
    LeaveInterceptor(outer);
    EXPECT_EQ(1u, entry->depth) << "idle after the first bracket: 1, not 0";
    EXPECT_FALSE(ThreadInsideBracket(OwnTeb()));

    // The next outermost call is outermost again.
    EnterInterceptor(&outer);
    EXPECT_EQ(1u, outer);
    LeaveInterceptor(outer);
    EXPECT_EQ(1u, entry->depth);
    EXPECT_EQ(entry, FindEntry(GetCurrentThreadId()));
}

// A thread that waits for the registry lock to create its entry counts as
// inside: a stop must wait for it too.
TEST(Bracket, CreatingTheEntryCountsAsInside)
{
    volatile uint32_t teb = 0;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::function<void()> body = [&] {
        ForgetCurrentThread();
        teb = OwnTeb();
        WaitForSingleObject(go, INFINITE);
        uint32_t saved;
        EnterInterceptor(&saved);
        LeaveInterceptor(saved);
    };
    HANDLE thread = StartThread(&body);
    while (!teb)
        Sleep(1);
    LockThreadRegistry();
    SetEvent(go);
    bool inside = false;
    for (int poll = 0; poll < 1000 && !inside; poll++, Sleep(1))
        inside = ThreadInsideBracket(teb);
    UnlockThreadRegistry();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(go);
    EXPECT_TRUE(inside);
}

TEST(Bracket, LeaveRestoresTheSavedDepthRatherThanDecrementing)
{
    uint32_t outer, inner;
    EnterInterceptor(&outer);
    EnterInterceptor(&inner);
    ASSERT_EQ(1u, outer);
    ASSERT_EQ(2u, inner);
    LeaveInterceptor(outer);  // the inner one unwound without its Leave
    EXPECT_EQ(1u, CurrentThreadEntry()->depth);
    EXPECT_FALSE(ThreadInsideBracket(OwnTeb()));
    LeaveInterceptor(inner);
    EXPECT_EQ(2u, CurrentThreadEntry()->depth);
    EXPECT_TRUE(ThreadInsideBracket(OwnTeb()));
    CurrentThreadEntry()->depth = 1;
}

namespace {

// Nested brackets to the given level; every one checks what it saw.
void Nest(uint32_t level, uint32_t limit, int *errors)
{
    uint32_t saved;
    EnterInterceptor(&saved);
    if (saved != level)
        ++*errors;
    if (level < limit)
        Nest(level + 1, limit, errors);
    else if (!ThreadInsideBracket(OwnTeb()) || CurrentThreadEntry()->depth != limit + 1)
        ++*errors;
    SetLastError(level * 1000 + 17);
    LeaveInterceptor(saved);
    if (GetLastError() != level * 1000 + 17)
        ++*errors;
    if (CurrentThreadEntry()->depth != saved)
        ++*errors;
}

}  // namespace

TEST(Bracket, NestingOnManyThreadsAtOnce)
{
    constexpr int Threads = 8, Rounds = 3000;
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    int errors[Threads] = {};
    ThreadEntry *entries[Threads] = {};
    volatile LONG ready = 0;
    std::vector<std::function<void()>> bodies;
    for (int t = 0; t < Threads; t++)
        bodies.push_back([&, t] {
            InterlockedIncrement(&ready);
            WaitForSingleObject(start, INFINITE);
            for (int round = 0; round < Rounds; round++)
                Nest(1, 1 + (round + t) % 6, &errors[t]);
            entries[t] = CurrentThreadEntry();
            if (entries[t]->depth != 1)
                ++errors[t];
        });
    std::vector<HANDLE> threads;
    for (auto &body : bodies)
        threads.push_back(StartThread(&body));
    // All attached (and so all holding entries) before any can finish.
    while (ready < Threads)
        Sleep(1);
    SetEvent(start);
    WaitForMultipleObjects(Threads, threads.data(), TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    CloseHandle(start);
    for (int t = 0; t < Threads; t++) {
        EXPECT_EQ(0, errors[t]) << "thread " << t;
        // Each on a cache line of its own: threads never write a shared one.
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(entries[t]) % EntryAlignment) << "thread " << t;
    }
    std::set<ThreadEntry *> distinct(entries, entries + Threads);
    EXPECT_EQ(static_cast<size_t>(Threads), distinct.size());
}

TEST(Bracket, LastErrorSurvivesLeaveEvenWhenItCreatesTheEntry)
{
    uint32_t saved;
    EnterInterceptor(&saved);
    ASSERT_EQ(1u, saved);
    SetLastError(0xBEEF);
    LeaveInterceptor(saved);
    EXPECT_EQ(0xBEEFu, GetLastError());

    EnterInterceptor(&saved);
    ForgetCurrentThread();
    ASSERT_EQ(nullptr, FindEntry(GetCurrentThreadId()));
    SetLastError(ERROR_FILE_NOT_FOUND);
    LeaveInterceptor(saved);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    ThreadEntry *entry = FindEntry(GetCurrentThreadId());
    ASSERT_NE(nullptr, entry) << "Leave creates the missing entry";
    EXPECT_EQ(1u, entry->depth);
}

namespace {

// A heap that cannot supply another block, standing in for an exhausted
// RegistryHeap.
HANDLE FullHeap()
{
    HANDLE heap = HeapCreate(0, 0x10000, 0x10000);
    for (int i = 0; heap && i < 100000 && HeapAlloc(heap, 0, sizeof(ThreadEntry)); i++) {
    }
    return heap;
}

}  // namespace

TEST(Bracket, WithoutAnEntryTheBracketStillBalancesAndKeepsLastError)
{
    HANDLE full = FullHeap();
    ASSERT_NE(nullptr, full);
    ASSERT_EQ(nullptr, HeapAlloc(full, 0, sizeof(ThreadEntry)));
    ForgetCurrentThread();
    HANDLE registryHeap = RegistryHeap;
    RegistryHeap = full;
    EXPECT_EQ(nullptr, CurrentThreadEntry());
    uint32_t saved = 99;
    EnterInterceptor(&saved);
    EXPECT_EQ(0u, saved) << "not outermost: nothing may be recorded without an entry";
    SetLastError(0x1234);
    LeaveInterceptor(saved);  // the failed allocation must not leak its error
    EXPECT_EQ(0x1234u, GetLastError());
    RegistryHeap = registryHeap;
    HeapDestroy(full);

    // Once the heap can supply again, the thread starts fresh.
    EnterInterceptor(&saved);
    EXPECT_EQ(1u, saved);
    LeaveInterceptor(saved);
    EXPECT_EQ(1u, CurrentThreadEntry()->depth);
}

TEST(ThreadLifecycle, AttachCreatesAFreshEntryAndDetachRemovesIt)
{
    uint32_t id = 0, depthAtStart = 99, savedDepth = 99, depthAfter = 99;
    bool hadEntry = false;
    RunOnNewThread([&] {
        id = GetCurrentThreadId();
        ThreadEntry *entry = FindEntry(id);
        hadEntry = entry != nullptr;
        if (entry)
            depthAtStart = entry->depth;
        EnterInterceptor(&savedDepth);
        LeaveInterceptor(savedDepth);
        depthAfter = CurrentThreadEntry()->depth;
    });
    EXPECT_TRUE(hadEntry) << "thread attach makes the entry";
    EXPECT_EQ(0u, depthAtStart);
    EXPECT_EQ(1u, savedDepth);
    EXPECT_EQ(1u, depthAfter);
    EXPECT_EQ(0, CountEntries(id)) << "thread detach removes it";
}

// A thread ended without detach notifications (TerminateThread) leaves its
// entry behind, mid-bracket. A later thread that gets the same id must still
// start fresh: its attach resets the depth.
TEST(ThreadLifecycle, ReusedThreadIdStartsFresh)
{
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint32_t staleId = 0;
    std::function<void()> stale = [&] {
        staleId = GetCurrentThreadId();
        uint32_t outer, inner;
        EnterInterceptor(&outer);
        EnterInterceptor(&inner);
        SetEvent(ready);
        Sleep(INFINITE);
    };
    HANDLE thread = StartThread(&stale);
    ASSERT_NE(nullptr, thread);
    WaitForSingleObject(ready, INFINITE);
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(ready);
    ThreadEntry *staleEntry = FindEntry(staleId);
    ASSERT_NE(nullptr, staleEntry);
    ASSERT_EQ(3u, staleEntry->depth);

    bool reused = false;
    uint32_t depthAtStart = 99, savedDepth = 99;
    ThreadEntry *entrySeen = nullptr;
    for (int attempt = 0; attempt < 20000 && !reused; attempt++) {
        RunOnNewThread([&] {
            if (GetCurrentThreadId() != staleId)
                return;
            reused = true;
            entrySeen = CurrentThreadEntry();
            depthAtStart = entrySeen->depth;
            EnterInterceptor(&savedDepth);
            LeaveInterceptor(savedDepth);
        });
    }
    ASSERT_TRUE(reused) << "thread id " << staleId << " was not handed out again";
    EXPECT_EQ(staleEntry, entrySeen) << "the left-behind entry is the one found";
    EXPECT_EQ(0u, depthAtStart);
    EXPECT_EQ(1u, savedDepth);
    EXPECT_EQ(0, CountEntries(staleId));
}
