// Holds every other thread of the process still while code they may run is
// rewritten.
#pragma once
#include <stdint.h>
#include <windows.h>

struct FrozenThread {
    uint32_t id;
    HANDLE handle;  // suspend, get/set context and query rights
    uintptr_t eip;  // Eip, or Rip on x64: read after the suspension took effect
    uintptr_t teb;
};

// Storage from VirtualAlloc, never a heap: a frozen thread may hold a heap lock.
struct FrozenThreads {
    FrozenThread *threads;
    uint32_t count;
    uint32_t capacity;
};

// Suspends every other thread: enumerates, suspends, and enumerates again
// until no new thread appears. One thread at a time freezes: another waits
// here until the first has thawed. Not reentrant. 1 on success; 0 with the
// last-error value set and nothing suspended. Between this and ThawThreads the caller must take no
// lock another thread may hold: no heap, no VirtualProtect/VirtualAlloc, no
// loader call.
int FreezeOtherThreads(FrozenThreads *set);
// Resumes all, closes their handles and releases the storage.
void ThawThreads(FrozenThreads *set);
