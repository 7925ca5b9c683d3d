// The thread registry: a 63-bucket hash of ThreadEntry records on a private
// heap, guarded by one critical section.
#include "control/thread_registry.h"

HANDLE RegistryHeap;
ThreadEntry *ThreadRegistry[ThreadBucketCount];
volatile LONG InFlightCount;
static CRITICAL_SECTION RegistryLock;

void InitThreadRegistry()
{
    for (ThreadEntry *&head : ThreadRegistry)
        head = nullptr;
    InitializeCriticalSection(&RegistryLock);
}

ThreadEntry *CurrentThreadEntry()
{
    uint32_t id = GetCurrentThreadId();
    ThreadEntry **head = &ThreadRegistry[ThreadBucket(id)];
    EnterCriticalSection(&RegistryLock);
    for (ThreadEntry *entry = *head; entry; entry = entry->next) {
        if (entry->threadId == id) {
            LeaveCriticalSection(&RegistryLock);
            return entry;
        }
    }
    // The HeapAlloc interceptor passes RegistryHeap calls straight through, so
    // this never re-enters the registry.
    auto *entry = static_cast<ThreadEntry *>(HeapAlloc(RegistryHeap, HEAP_ZERO_MEMORY, sizeof(ThreadEntry)));
    if (entry) {
        entry->threadId = id;
        entry->depth = 0;
        entry->next = *head;
        *head = entry;
    }
    LeaveCriticalSection(&RegistryLock);
    return entry;
}

void RemoveCurrentThreadEntry()
{
    uint32_t id = GetCurrentThreadId();
    EnterCriticalSection(&RegistryLock);
    for (ThreadEntry **link = &ThreadRegistry[ThreadBucket(id)]; *link; link = &(*link)->next) {
        ThreadEntry *entry = *link;
        if (entry->threadId == id) {
            *link = entry->next;
            ReleaseRecordCache(&entry->records);
            // While hooks are installed this HeapFree opens a bracket, which
            // creates a new entry under the lock we already hold (re-entrant).
            HeapFree(RegistryHeap, 0, entry);
            break;
        }
    }
    LeaveCriticalSection(&RegistryLock);
}

// Without an entry (RegistryHeap exhausted) savedDepth is 0: not the
// outermost call, so nothing is recorded, but the real function still runs;
// an entry created later by LeaveInterceptor then starts fresh.
void EnterInterceptor(uint32_t *savedDepth)
{
    InterlockedIncrement(&InFlightCount);
    ThreadEntry *entry = CurrentThreadEntry();
    if (!entry) {
        *savedDepth = 0;
        return;
    }
    if (entry->depth == 0)
        entry->depth = 1;
    *savedDepth = entry->depth;
    entry->depth = entry->depth + 1;
}

void LeaveInterceptor(uint32_t savedDepth)
{
    InterlockedDecrement(&InFlightCount);
    DWORD error = GetLastError();
    if (ThreadEntry *entry = CurrentThreadEntry())
        entry->depth = savedDepth;
    SetLastError(error);
}
