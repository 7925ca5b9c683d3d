// The record table: per bucket an address hash under its own lock, so that
// look-ups stay O(1) at any number of live blocks and threads rarely meet.
#include "tracking/alloc_table.h"
#include "control/options.h"

AddressBucket AddressIndex[AllocBucketCount];
AllocRecord *AllocTable[AllocBucketCount];
HANDLE RecordHeap;
uint32_t RecordDepth = DefaultStackDepth;
static bool TableFrozen;

namespace {

enum : uint32_t { FirstSlotBits = 4, BucketSpins = 1000 };
// A released record's slot: probe runs go on past it, insertions reuse it.
const uintptr_t Tombstone = 1;

inline uint32_t Capacity(const AddressBucket *bucket) { return bucket->slots ? 1u << (32 - bucket->shift) : 0; }

inline uint32_t Mixed(uint32_t address) { return address * 0x9E3779B1u; }
inline uint32_t Home(uint32_t address, uint32_t shift) { return Mixed(address) >> shift; }
// The three hash bits below those that choose the home slot.
inline uintptr_t Tag(uint32_t address, uint32_t shift) { return (Mixed(address) >> (shift - 3)) & 7; }

inline bool Holds(uintptr_t slot, uintptr_t tag, uint32_t address)
{
    return slot > Tombstone && (slot & 7) == tag && SlotRecord(slot)->address == address;
}

// Under the lock, with a free slot left: puts the record in, or over a stale
// record of the same address, which it returns.
AllocRecord *Place(AddressBucket *bucket, AllocRecord *record)
{
    uint32_t mask = Capacity(bucket) - 1;
    uintptr_t tag = Tag(record->address, bucket->shift);
    uintptr_t *reuse = nullptr;
    for (uint32_t i = Home(record->address, bucket->shift);; i = (i + 1) & mask) {
        uintptr_t *slot = &bucket->slots[i];
        if (Holds(*slot, tag, record->address)) {
            AllocRecord *stale = SlotRecord(*slot);
            *slot = reinterpret_cast<uintptr_t>(record) | tag;
            return stale;
        }
        if (*slot == Tombstone && !reuse)
            reuse = slot;
        if (!*slot) {
            if (!reuse) {
                reuse = slot;
                bucket->used++;
            }
            *reuse = reinterpret_cast<uintptr_t>(record) | tag;
            bucket->live++;
            return nullptr;
        }
    }
}

// Rebuilds the bucket's index into a new array when it is too full of
// records or tombstones, twice as large when the records alone need it. The
// memory is had with no lock held; false when there is none.
bool Rebuild(AddressBucket *bucket)
{
    EnterCriticalSection(&bucket->lock);
    uint32_t live = bucket->live;
    LeaveCriticalSection(&bucket->lock);
    // Half full at most: a growing bucket doubles, and a sixth of the slots
    // at least fills before the next rebuild.
    uint32_t bits = FirstSlotBits;
    while (2 * (live + 1) > (1u << bits))
        bits++;
    auto *slots = static_cast<uintptr_t *>(HeapAlloc(RecordHeap, HEAP_ZERO_MEMORY, sizeof(uintptr_t) << bits));
    if (!slots)
        return false;
    uintptr_t *unused = slots;
    EnterCriticalSection(&bucket->lock);
    // Another thread may have rebuilt meanwhile, or records come and gone.
    if (3 * (bucket->used + 1) > 2 * Capacity(bucket) && 3 * (bucket->live + 1) <= (2u << bits)) {
        uint32_t shift = 32 - bits, mask = (1u << bits) - 1;
        for (uint32_t i = 0, capacity = Capacity(bucket); i < capacity; i++) {
            uintptr_t slot = bucket->slots[i];
            if (slot <= Tombstone)
                continue;
            uint32_t address = SlotRecord(slot)->address;
            uint32_t j = Home(address, shift);
            while (slots[j])
                j = (j + 1) & mask;
            slots[j] = (slot & ~uintptr_t(7)) | Tag(address, shift);
        }
        // Published only when complete: a thread ended in the middle leaves
        // the old index whole.
        unused = bucket->slots;
        bucket->slots = slots;
        bucket->shift = shift;
        bucket->used = bucket->live;
    }
    LeaveCriticalSection(&bucket->lock);
    if (unused)
        HeapFree(RecordHeap, 0, unused);
    return true;
}

// Newest first: the smallest age (insertions since) first. Heap sort, in
// place, since the dump may run where nothing can be allocated.
void SortNewestFirst(uintptr_t *records, uint32_t count, uint32_t sequence)
{
    auto age = [&](uint32_t i) { return sequence - SlotRecord(records[i])->sequence; };
    auto sift = [&](uint32_t root, uint32_t end) {
        for (uint32_t child; (child = 2 * root + 1) < end; root = child) {
            if (child + 1 < end && age(child + 1) > age(child))
                child++;
            if (age(root) >= age(child))
                return;
            uintptr_t swap = records[root];
            records[root] = records[child];
            records[child] = swap;
        }
    };
    for (uint32_t i = count / 2; i-- > 0;)
        sift(i, count);
    for (uint32_t end = count; end-- > 1;) {
        uintptr_t swap = records[0];
        records[0] = records[end];
        records[end] = swap;
        sift(0, end);
    }
}

}  // namespace

void ClearAllocTable()
{
    RetireRecordSlots();
    for (uint32_t b = 0; b < AllocBucketCount; b++) {
        AllocTable[b] = nullptr;
        AddressIndex[b].slots = nullptr;
        AddressIndex[b].shift = 0;
        AddressIndex[b].live = 0;
        AddressIndex[b].used = 0;
        AddressIndex[b].sequence = 0;
    }
    TableFrozen = false;
}

// No debug information: Wine would allocate it on the process heap. A short
// spin before sleeping: a bucket is held for a few dozen instructions, while
// a sleep costs a round trip to the server under Wine.
void InitTableLock()
{
    for (AddressBucket &bucket : AddressIndex)
        InitializeCriticalSectionEx(&bucket.lock, BucketSpins, CRITICAL_SECTION_NO_DEBUG_INFO);
}

void DeleteTableLock()
{
    for (AddressBucket &bucket : AddressIndex)
        DeleteCriticalSection(&bucket.lock);
}

void InsertRecord(AllocRecord *record)
{
    AddressBucket *bucket = &AddressIndex[AllocBucket(record->address)];
    AllocRecord *stale;
    for (;;) {
        EnterCriticalSection(&bucket->lock);
        // Records and tombstones at most two thirds of the slots, so that
        // probe runs stay short and always end at a free slot.
        if (3 * (bucket->used + 1) <= 2 * Capacity(bucket)) {
            record->sequence = bucket->sequence++;
            stale = Place(bucket, record);
            LeaveCriticalSection(&bucket->lock);
            break;
        }
        LeaveCriticalSection(&bucket->lock);
        if (!Rebuild(bucket)) {
            stale = record;  // no memory: the block goes unrecorded
            break;
        }
    }
    if (stale)
        PoolRecord(stale);
}

AllocRecord *TakeRecord(uint32_t address, uint32_t kind)
{
    AddressBucket *bucket = &AddressIndex[AllocBucket(address)];
    AllocRecord *found = nullptr;
    EnterCriticalSection(&bucket->lock);
    if (bucket->slots) {
        uint32_t mask = Capacity(bucket) - 1;
        uintptr_t tag = Tag(address, bucket->shift);
        for (uint32_t i = Home(address, bucket->shift); uintptr_t slot = bucket->slots[i]; i = (i + 1) & mask) {
            if (!Holds(slot, tag, address))
                continue;
            // An address has at most one record, whatever its kind.
            if (SlotRecord(slot)->kind == kind) {
                found = SlotRecord(slot);
                // Where the probe run ends here anyway, the slot is free again.
                if (bucket->slots[(i + 1) & mask]) {
                    bucket->slots[i] = Tombstone;
                } else {
                    bucket->slots[i] = 0;
                    bucket->used--;
                }
                bucket->live--;
            }
            break;
        }
    }
    LeaveCriticalSection(&bucket->lock);
    return found;
}

void FreezeAllocTable()
{
    if (TableFrozen)
        return;
    TableFrozen = true;
    // Nothing may hand out a slot of this run's heap any more.
    RetireRecordSlots();
    for (uint32_t b = 0; b < AllocBucketCount; b++) {
        AddressBucket *bucket = &AddressIndex[b];
        uint32_t count = 0;
        for (uint32_t i = 0, capacity = Capacity(bucket); i < capacity; i++)
            if (bucket->slots[i] > Tombstone)
                bucket->slots[count++] = bucket->slots[i];
        SortNewestFirst(bucket->slots, count, bucket->sequence);
        AllocRecord *head = nullptr;
        for (uint32_t i = count; i-- > 0;) {
            AllocRecord *record = SlotRecord(bucket->slots[i]);
            // A thread ended at process exit in the middle of a change may
            // have left a record in two slots: it is linked once.
            if (record == head)
                continue;
            record->next = head;
            head = record;
        }
        AllocTable[b] = head;
        bucket->slots = nullptr;
        bucket->live = 0;
        bucket->used = 0;
    }
}
