// The thread registry: a 63-bucket hash of ThreadEntry records on a private
// heap, guarded by one critical section. Each thread also finds its own entry
// through a TLS slot, read straight from its TEB: no lock and no call on the
// path of every allocation. It owns all per-thread state, the record cache in
// the entry included.
#include "control/thread_registry.h"

HANDLE RegistryHeap;
ThreadEntry *ThreadRegistry[ThreadBucketCount];
static CRITICAL_SECTION RegistryLock;
DWORD EntrySlot = TLS_OUT_OF_INDEXES;

namespace {

// The slot's cell in a thread's TEB, or null when it has none yet (an
// expansion slot whose array TlsSetValue has not allocated). Never calls
// TlsSetValue: it may allocate, which would come back here.
ThreadEntry *volatile *SlotCell(uintptr_t teb)
{
    if (EntrySlot < TlsMinimumSlots)
        return reinterpret_cast<ThreadEntry *volatile *>(teb + TlsSlotsOffset) + EntrySlot;
    if (EntrySlot == TLS_OUT_OF_INDEXES)
        return nullptr;
    auto *expansion = *reinterpret_cast<ThreadEntry *volatile **>(teb + TlsExpansionOffset);
    return expansion ? expansion + (EntrySlot - TlsMinimumSlots) : nullptr;
}

void SetOwnSlot(ThreadEntry *entry)
{
    if (ThreadEntry *volatile *cell = SlotCell(OwnTeb()))
        *cell = entry;
}

inline bool IsEnded(ThreadEntry *value)
{
    return value >= EndedEntry && reinterpret_cast<uintptr_t>(value) < MarkLimit;
}

// The calling thread's cell while it holds the ended mark, else null.
ThreadEntry *volatile *EndedCell()
{
    ThreadEntry *volatile *cell = SlotCell(OwnTeb());
    return cell && IsEnded(*cell) ? cell : nullptr;
}

ThreadEntry *FindOrCreateEntry()
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
    void *block = HeapAlloc(RegistryHeap, HEAP_ZERO_MEMORY, sizeof(ThreadEntry) + 2 * EntryAlignment - 1);
    ThreadEntry *entry = nullptr;
    if (block) {
        // Padded to whole lines on both sides: no neighbour's data shares them.
        entry = reinterpret_cast<ThreadEntry *>((reinterpret_cast<uintptr_t>(block) + EntryAlignment - 1) &
                                                ~uintptr_t(EntryAlignment - 1));
        entry->block = block;
        entry->threadId = id;
        entry->depth = 0;
        entry->next = *head;
        *head = entry;
    }
    LeaveCriticalSection(&RegistryLock);
    return entry;
}

}  // namespace

void InitThreadRegistry()
{
    for (ThreadEntry *&head : ThreadRegistry)
        head = nullptr;
    InitializeCriticalSection(&RegistryLock);
    EntrySlot = TlsAlloc();
}

ThreadEntry *FindOrCreateCurrentEntry()
{
    ThreadEntry *volatile *cell = SlotCell(OwnTeb());
    if (cell) {
        ThreadEntry *entry = *cell;
        if (IsEnded(entry))
            return nullptr;
        if (entry && entry != CreatingEntry)
            return entry;
        *cell = CreatingEntry;
    }
    ThreadEntry *entry = FindOrCreateEntry();
    if (cell)
        *cell = entry;
    return entry;
}

RecordCache *CurrentRecordCache()
{
    ThreadEntry *entry = CurrentThreadEntry();
    return entry ? &entry->records : nullptr;
}

void RemoveCurrentThreadEntry()
{
    uint32_t id = GetCurrentThreadId();
    // First, so that the HeapFree below (through the hooks while recording)
    // finds no entry and makes none.
    SetOwnSlot(EndedEntry);
    EnterCriticalSection(&RegistryLock);
    for (ThreadEntry **link = &ThreadRegistry[ThreadBucket(id)]; *link; link = &(*link)->next) {
        ThreadEntry *entry = *link;
        if (entry->threadId == id) {
            *link = entry->next;
            ReleaseRecordCache(&entry->records);
            HeapFree(RegistryHeap, 0, entry->block);
            break;
        }
    }
    LeaveCriticalSection(&RegistryLock);
}

void OpenWithoutEntry()
{
    if (ThreadEntry *volatile *cell = EndedCell())
        *cell = reinterpret_cast<ThreadEntry *>(reinterpret_cast<uintptr_t>(*cell) + 1);
}

void EnterInterceptor(uint32_t *savedDepth) { OpenInterceptor(savedDepth); }

void LeaveInterceptor(uint32_t savedDepth)
{
    DWORD error = GetLastError();
    ThreadEntry *volatile *ended = EndedCell();
    if (ended) {
        if (*ended != EndedEntry)
            *ended = reinterpret_cast<ThreadEntry *>(reinterpret_cast<uintptr_t>(*ended) - 1);
    } else if (ThreadEntry *entry = CurrentThreadEntry()) {
        entry->depth = savedDepth;
    }
    SetLastError(error);
}

// In the order the registry takes them itself: its lock, then its heap's.
void LockThreadRegistry()
{
    EnterCriticalSection(&RegistryLock);
    HeapLock(RegistryHeap);
}

void UnlockThreadRegistry()
{
    HeapUnlock(RegistryHeap);
    LeaveCriticalSection(&RegistryLock);
}

bool ThreadInsideBracket(uintptr_t teb)
{
    // A thread that is made but not yet started has no TEB: it has run none
    // of our code.
    if (!teb)
        return false;
    ThreadEntry *volatile *cell = SlotCell(teb);
    if (!cell)
        return false;
    ThreadEntry *entry = *cell;
    if (reinterpret_cast<uintptr_t>(entry) < MarkLimit)
        return entry == CreatingEntry || (IsEnded(entry) && entry != EndedEntry);
    return entry->depth >= 2;
}
