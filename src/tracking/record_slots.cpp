// Per-thread caches of record slots with a shared pool behind them. The pool
// balances threads that free what others allocated; its lock is taken only to
// move whole batches. A run generation tells a cache that its slots belong to
// a heap that is gone.
#include "tracking/record_slots.h"
#include "tracking/alloc_table.h"
#include <string.h>

namespace {

enum : uint32_t {
    ChunkBytes = 16384,
    PoolBatch = 64,    // slots a thread takes from the pool at once
};

SRWLOCK PoolLock = SRWLOCK_INIT;
AllocRecord *PoolSlots;
// Capture buffers of ended threads, linked through their first word.
uintptr_t *PoolCaptures;

// Slots are 8-aligned: the address index keeps a tag in the low bits.
static_assert(sizeof(AllocRecord) % 8 == 0, "records keep the index's tag bits free");
inline uint32_t SlotBytes() { return sizeof(AllocRecord); }

// Puts a chain of slots from `generation` into the pool, unless that run's
// heap has been retired since.
void PoolChain(AllocRecord *head, AllocRecord *tail, uint32_t generation)
{
    AcquireSRWLockExclusive(&PoolLock);
    if (generation == SlotGeneration) {
        tail->next = PoolSlots;
        PoolSlots = head;
    }
    ReleaseSRWLockExclusive(&PoolLock);
}

void TakeFromPool(RecordCache *cache)
{
    AcquireSRWLockExclusive(&PoolLock);
    if (cache->generation == SlotGeneration) {
        for (uint32_t n = 0; n < PoolBatch && PoolSlots; n++) {
            AllocRecord *slot = PoolSlots;
            PoolSlots = slot->next;
            PushSpare(cache, slot);
        }
    }
    ReleaseSRWLockExclusive(&PoolLock);
}

// Forgets the slots of a cache left over from an earlier run.
void ResetIfStale(RecordCache *cache)
{
    uint32_t generation = SlotGeneration;
    if (cache->generation != generation) {
        memset(cache, 0, sizeof *cache);
        cache->generation = generation;
    }
}

AllocRecord *TakeSlot(RecordCache *cache)
{
    ResetIfStale(cache);
    if (!cache->spare && cache->carveLeft < SlotBytes())
        TakeFromPool(cache);
    if (cache->spare)
        return PopSpare(cache);
    if (cache->carveLeft < SlotBytes()) {
        // A private heap: the HeapAlloc interceptor passes this straight on.
        uint32_t bytes = ChunkBytes;
        cache->carve = static_cast<uint8_t *>(HeapAlloc(RecordHeap, 0, bytes));
        cache->carveLeft = cache->carve ? bytes : 0;
        if (!cache->carve)
            return nullptr;
    }
    AllocRecord *slot = reinterpret_cast<AllocRecord *>(cache->carve);
    cache->carve += SlotBytes();
    cache->carveLeft -= SlotBytes();
    return slot;
}

}  // namespace

// Written under PoolLock.
volatile uint32_t SlotGeneration = 1;

AllocRecord *NewRecordSlotSlowly(RecordCache *cache)
{
    return cache ? TakeSlot(cache) : static_cast<AllocRecord *>(HeapAlloc(RecordHeap, 0, SlotBytes()));
}

AllocRecord *NewRecord(RecordCache *cache)
{
    AllocRecord *record = NewRecordSlot(cache);
    if (record) {
        memset(record, 0, sizeof *record);
        record->stack = EmptyStack;
    }
    return record;
}

void FreeRecordSlowly(AllocRecord *record, RecordCache *cache)
{
    if (!cache) {
        PoolRecord(record);
        return;
    }
    // A record taken from the table belongs to the current run.
    ResetIfStale(cache);
    PushSpare(cache, record);
    if (cache->spareCount <= CacheLimit)
        return;
    // Hand the older half back, so that a thread that frees what others
    // allocate does not hoard slots while they carve new chunks.
    AllocRecord *tail = cache->spare;
    for (uint32_t n = 1; n < CacheLimit / 2; n++)
        tail = tail->next;
    AllocRecord *handed = tail->next;
    tail->next = nullptr;
    cache->spareCount = CacheLimit / 2;
    AllocRecord *last = handed;
    while (last->next)
        last = last->next;
    PoolChain(handed, last, cache->generation);
}

uintptr_t *CaptureBufferSlowly(RecordCache *cache)
{
    ResetIfStale(cache);
    if (PoolCaptures) {
        AcquireSRWLockExclusive(&PoolLock);
        if (cache->generation == SlotGeneration && PoolCaptures) {
            cache->capture = PoolCaptures;
            PoolCaptures = reinterpret_cast<uintptr_t *>(PoolCaptures[0]);
        }
        ReleaseSRWLockExclusive(&PoolLock);
    }
    if (!cache->capture)
        cache->capture = CarveCaptureBuffer();
    return cache->capture;
}

void PoolRecord(AllocRecord *record) { PoolChain(record, record, SlotGeneration); }

void ReleaseRecordCache(RecordCache *cache)
{
    AcquireSRWLockExclusive(&PoolLock);
    // Slots are written only while their run's heap is known to exist.
    if (cache->generation == SlotGeneration) {
        for (; cache->carveLeft >= SlotBytes(); cache->carve += SlotBytes(), cache->carveLeft -= SlotBytes())
            PushSpare(cache, reinterpret_cast<AllocRecord *>(cache->carve));
        while (cache->spare) {
            AllocRecord *slot = PopSpare(cache);
            slot->next = PoolSlots;
            PoolSlots = slot;
        }
        if (cache->capture) {
            cache->capture[0] = reinterpret_cast<uintptr_t>(PoolCaptures);
            PoolCaptures = cache->capture;
        }
    }
    memset(cache, 0, sizeof *cache);
    ReleaseSRWLockExclusive(&PoolLock);
}

void RetireRecordSlots()
{
    AcquireSRWLockExclusive(&PoolLock);
    SlotGeneration = SlotGeneration + 1;
    PoolSlots = nullptr;
    PoolCaptures = nullptr;
    ReleaseSRWLockExclusive(&PoolLock);
}

void LockRecordSlots() { AcquireSRWLockExclusive(&PoolLock); }
void UnlockRecordSlots() { ReleaseSRWLockExclusive(&PoolLock); }
