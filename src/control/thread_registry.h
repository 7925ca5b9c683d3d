// Per-thread nesting state of the interceptors and the bracket around every
// intercepted call.
#pragma once
#include <windows.h>
#include <stdint.h>
#include "tracking/call_stack.h"
#include "tracking/record_slots.h"
#include "control/thread_block.h"

// Written on every intercepted call by its own thread: each entry sits on
// cache lines of its own (EntryAlignment), so threads never share one.
struct ThreadEntry {
    uint32_t threadId;
    ThreadEntry *next;
    uint32_t depth;  // 0 fresh, else 1 + intercepted calls open on the thread
    RecordCache records;
    void *block;     // the RegistryHeap block that holds the entry
    CallerMark callerMark;  // the thread's latest call into a C runtime allocating entry
};

// Two lines on x64, where pointers and the caller mark take twice the room.
enum : uint32_t { EntryAlignment = sizeof(void *) == 8 ? 128 : 64 };
static_assert(sizeof(ThreadEntry) <= EntryAlignment, "an entry fits its lines");

enum : uint32_t { ThreadBucketCount = 63 };

extern HANDLE RegistryHeap;
extern ThreadEntry *ThreadRegistry[ThreadBucketCount];

inline uint32_t ThreadBucket(uint32_t threadId) { return (threadId >> 2) % ThreadBucketCount; }

// Clears the buckets, initialises the registry lock and takes the TLS slot
// that leads each thread to its entry; RegistryHeap must exist.
void InitThreadRegistry();

// The TLS slot that leads each thread to its entry.
extern DWORD EntrySlot;
// Marks a thread that is looking up or creating its entry under the registry
// lock: it counts as inside a bracket for a stop that inspects it.
ThreadEntry *const CreatingEntry = reinterpret_cast<ThreadEntry *>(1);
// Marks a thread whose entry went at its DLL_THREAD_DETACH: the allocator
// calls it still makes on its way out (other modules' detach, the loader's
// own frees) run with no entry, so none is made again and left behind. The
// mark plus n: n brackets open on such a thread.
ThreadEntry *const EndedEntry = reinterpret_cast<ThreadEntry *>(2);
// Cell values below this are marks; entries lie above (no heap block is in
// the first 64 KB of the address space).
const uintptr_t MarkLimit = 0x10000;

ThreadEntry *FindOrCreateCurrentEntry();

// The calling thread's entry, created when it has none; null only when the
// RegistryHeap cannot supply one. Inline: it is on every intercepted call.
inline ThreadEntry *CurrentThreadEntry()
{
    if (EntrySlot < TlsMinimumSlots) {
        auto *entry = static_cast<ThreadEntry *>(OwnTlsSlot(EntrySlot));
        if (reinterpret_cast<uintptr_t>(entry) >= MarkLimit)
            return entry;
    }
    return FindOrCreateCurrentEntry();
}

// The thread is ending: its entry and its record slots are given back.
void RemoveCurrentThreadEntry();

// Counts a bracket opened on a thread without an entry, when it has ended.
void OpenWithoutEntry();

// The bracket. OpenInterceptor is EnterInterceptor inline, for the
// interceptors: it returns the thread's entry for CloseInterceptor.
// Without an entry (RegistryHeap exhausted, or the thread ended) savedDepth
// is 0: not the outermost call, so nothing is recorded, but the real function
// still runs; an entry created later by LeaveInterceptor then starts fresh.
inline ThreadEntry *OpenInterceptor(uint32_t *savedDepth)
{
    ThreadEntry *entry = CurrentThreadEntry();
    if (!entry) {
        *savedDepth = 0;
        OpenWithoutEntry();
        return nullptr;
    }
    uint32_t depth = entry->depth ? entry->depth : 1;
    *savedDepth = depth;
    entry->depth = depth + 1;
    return entry;
}

void EnterInterceptor(uint32_t *savedDepth);
// Looks the entry up again, keeping the last-error value across a lookup
// that may create it.
void LeaveInterceptor(uint32_t savedDepth);

// LeaveInterceptor with the entry that EnterInterceptor returned: it calls
// nothing, so the last-error value stays as the real function left it.
inline void CloseInterceptor(uint32_t savedDepth, ThreadEntry *entry)
{
    if (entry)
        entry->depth = savedDepth;
    else
        LeaveInterceptor(savedDepth);
}

// The registry lock and the RegistryHeap's own, held across the moment when
// ExitProcess ends the other threads, so that none ends holding them.
void LockThreadRegistry();
void UnlockThreadRegistry();
// Whether the thread whose TEB is at teb has a bracket open or is creating
// its entry. Reads only that thread's TLS slot and entry: safe while the
// thread is suspended, whatever lock it holds.
bool ThreadInsideBracket(uintptr_t teb);
