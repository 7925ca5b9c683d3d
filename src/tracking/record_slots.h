// Record-sized slots for AllocRecord, carved from the run's RecordHeap in large
// chunks and kept in per-thread caches, so that recording a block costs no
// heap call and no shared lock, and destroying the heap still frees them all.
#pragma once
#include <stdint.h>
#include "tracking/alloc_table.h"
#include "tracking/stack_depot.h"

// One thread's spare slots, held in its ThreadEntry. A zeroed cache is empty.
struct RecordCache {
    AllocRecord *spare;     // free slots, linked through next
    uint32_t spareCount;
    uint8_t *carve;         // the unused rest of the thread's current chunk
    uint32_t carveLeft;     // bytes
    uint32_t generation;    // the run whose heap the slots belong to
    uintptr_t *capture;     // the thread's buffer to capture stacks into
    StackRef lastStack;      // the stack of the thread's latest recorded block
};

enum : uint32_t { CacheLimit = 128 };  // spare slots a thread keeps before handing half back

// The run whose heap current slots come from. Read without a lock on the hot
// path, where a stale value only sends a cache through its reset once more.
extern volatile uint32_t SlotGeneration;

// The cache's spare list: a slot off its head, a slot onto it.
inline AllocRecord *PopSpare(RecordCache *cache)
{
    AllocRecord *slot = cache->spare;
    cache->spare = slot->next;
    cache->spareCount--;
    return slot;
}

inline void PushSpare(RecordCache *cache, AllocRecord *slot)
{
    slot->next = cache->spare;
    cache->spare = slot;
    cache->spareCount++;
}

// The calling thread's cache, in its thread entry (control/thread_registry.cpp
// owns both); null when it has none.
RecordCache *CurrentRecordCache();
AllocRecord *NewRecordSlotSlowly(RecordCache *cache);
void FreeRecordSlowly(AllocRecord *record, RecordCache *cache);

// A record-sized slot from the cache, as it was left: for a caller that
// writes every field (the interceptors); null when the RecordHeap cannot
// supply one.
// Inline: a slot from the thread's spares is on every recorded allocation.
inline AllocRecord *NewRecordSlot(RecordCache *cache)
{
    if (cache && cache->spare && cache->generation == SlotGeneration)
        return PopSpare(cache);
    return NewRecordSlotSlowly(cache);
}
// The same slot, zeroed, with the empty stack.
AllocRecord *NewRecord(RecordCache *cache = CurrentRecordCache());
// Gives a record's slot back to the calling thread's cache. Inline, as
// NewRecordSlot.
inline void FreeRecord(AllocRecord *record, RecordCache *cache = CurrentRecordCache())
{
    // A record taken from the table belongs to the current run.
    if (cache && cache->generation == SlotGeneration && cache->spareCount < CacheLimit)
        PushSpare(cache, record);
    else
        FreeRecordSlowly(record, cache);
}
uintptr_t *CaptureBufferSlowly(RecordCache *cache);
// The buffer of RecordDepth frames the thread captures stacks into; null
// when the depot is full.
inline uintptr_t *CaptureBuffer(RecordCache *cache)
{
    if (cache->capture && cache->generation == SlotGeneration)
        return cache->capture;
    return CaptureBufferSlowly(cache);
}
// Gives a slot back to the run's shared pool (no thread's cache involved).
void PoolRecord(AllocRecord *record);
// The thread is ending: its slots go to the shared pool for other threads.
void ReleaseRecordCache(RecordCache *cache);
// The shared pool's lock.
void LockRecordSlots();
void UnlockRecordSlots();
// Every slot handed out so far belongs to a heap that is about to go (a new
// run, or the dump): no cache or pool hands them out again.
void RetireRecordSlots();
