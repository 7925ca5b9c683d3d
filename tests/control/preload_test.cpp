// A thread that exists before the library is loaded: it gets no attach
// notification, so its first bracket must create its entry. This program does
// not link TarnwickTest.dll; it loads it while the thread is already running.
#include "control/thread_registry.h"
#include <gtest/gtest.h>
#include <windows.h>

namespace {

struct Internals {
    void (*enter)(uint32_t *);
    void (*leave)(uint32_t);
    ThreadEntry **registry;
};

struct Early {
    HANDLE go, done, finish;
    Internals *internals;
    volatile DWORD id;
    uint32_t savedOuter, savedInner;
};

DWORD WINAPI EarlyThread(void *argument)
{
    Early *early = static_cast<Early *>(argument);
    early->id = GetCurrentThreadId();
    WaitForSingleObject(early->go, INFINITE);
    Internals &in = *early->internals;
    in.enter(&early->savedOuter);
    in.enter(&early->savedInner);
    in.leave(early->savedInner);
    in.leave(early->savedOuter);
    SetEvent(early->done);
    // Stay alive: the entry goes away with the thread's detach.
    WaitForSingleObject(early->finish, INFINITE);
    return 0;
}

ThreadEntry *FindEntry(ThreadEntry **registry, uint32_t threadId)
{
    for (ThreadEntry *entry = registry[ThreadBucket(threadId)]; entry; entry = entry->next)
        if (entry->threadId == threadId)
            return entry;
    return nullptr;
}

struct Late {
    ThreadEntry **registry;
    DWORD *id;
    ThreadEntry **entry;
    uint32_t *depth;
};

DWORD WINAPI LateThread(void *argument)
{
    Late *late = static_cast<Late *>(argument);
    *late->id = GetCurrentThreadId();
    *late->entry = FindEntry(late->registry, *late->id);
    if (*late->entry)
        *late->depth = (*late->entry)->depth;
    return 0;
}

}  // namespace

TEST(Preload, ThreadFromBeforeTheLoadGetsItsEntryAtItsFirstBracket)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"TarnwickTest.dll"));
    Internals internals = {};
    Early early = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr),
                   CreateEventW(nullptr, TRUE, FALSE, nullptr), &internals, 0, 99, 99};
    HANDLE thread = CreateThread(nullptr, 0, EarlyThread, &early, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    while (!early.id)
        Sleep(1);

    HMODULE dll = LoadLibraryW(L"TarnwickTest.dll");
    ASSERT_NE(nullptr, dll);
    internals.enter = reinterpret_cast<void (*)(uint32_t *)>(reinterpret_cast<void *>(GetProcAddress(dll, "_Z16EnterInterceptorPj")));
    internals.leave = reinterpret_cast<void (*)(uint32_t)>(reinterpret_cast<void *>(GetProcAddress(dll, "_Z16LeaveInterceptorj")));
    internals.registry = reinterpret_cast<ThreadEntry **>(GetProcAddress(dll, "ThreadRegistry"));
    ASSERT_TRUE(internals.enter && internals.leave && internals.registry);

    EXPECT_EQ(nullptr, FindEntry(internals.registry, early.id)) << "no attach notification for an existing thread";
    EXPECT_EQ(nullptr, FindEntry(internals.registry, GetCurrentThreadId())) << "process attach makes no entry";

    SetEvent(early.go);
    WaitForSingleObject(early.done, INFINITE);
    EXPECT_EQ(1u, early.savedOuter) << "its first call is the outermost";
    EXPECT_EQ(2u, early.savedInner);
    ThreadEntry *entry = FindEntry(internals.registry, early.id);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(1u, entry->depth);

    // A thread started after the load gets its entry from its attach.
    DWORD id = 0;
    ThreadEntry *lateEntry = nullptr;
    uint32_t lateDepth = 99;
    Late late = {internals.registry, &id, &lateEntry, &lateDepth};
    HANDLE lateThread = CreateThread(nullptr, 0, LateThread, &late, 0, nullptr);
    ASSERT_NE(nullptr, lateThread);
    WaitForSingleObject(lateThread, INFINITE);
    CloseHandle(lateThread);
    EXPECT_NE(nullptr, lateEntry);
    EXPECT_EQ(0u, lateDepth);

    SetEvent(early.finish);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(nullptr, FindEntry(internals.registry, early.id)) << "detach removes the entry it made";
    CloseHandle(early.go);
    CloseHandle(early.done);
    CloseHandle(early.finish);
}
