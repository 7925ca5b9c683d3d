// The record table. While recording, an address hash split into shards by
// 64 KB region, each under its own lock: look-ups stay O(1) at any number of
// live blocks, and threads whose blocks lie in different regions share no
// lock and no cache line. The order within each of the 127 buckets survives
// as one insertion counter per bucket; the dump's walk merges by it.
// While a single thread records, it takes neither locks nor locked counts.
#include "tracking/alloc_table.h"
#include "tracking/record_slots.h"
#include "tracking/table_owner.h"
#include "control/options.h"

AddressShard AddressIndex[AddressShardCount];
HANDLE RecordHeap;
uint32_t RecordDepth = DefaultStackDepth;
static bool TableFrozen;

// Insertions so far per bucket, each on a cache line of its own.
static struct alignas(64) {
    volatile LONG count;
} BucketInsertions[AllocBucketCount];

namespace {

enum : uint32_t { FirstSlotBits = 4, ShardSpins = 1000, ShardYields = 20, CacheLine = 64 };
// A released record's slot: probe runs go on past it, insertions reuse it.
const uintptr_t Tombstone = 1;

// A shard is held for a few dozen instructions, while a critical section
// costs two locked instructions and calls into ntdll even when free. This
// lock takes one compare-exchange and is released by a plain store (stores
// are not reordered on x86). A waiter spins briefly, then yields, then
// sleeps a millisecond at a time, so a preempted holder of any priority
// gets the processor back and is never starved.
__attribute__((noinline)) void WaitForShard(AddressShard *shard)
{
    for (uint32_t round = 0;; round++) {
        if (!shard->lock && !InterlockedCompareExchange(&shard->lock, 1, 0))
            return;
        if (round < ShardSpins)
            __builtin_ia32_pause();
        else if (round < ShardSpins + ShardYields)
            SwitchToThread();
        else
            Sleep(1);
    }
}

// `alone`: the calling thread owns the table (EnterTable), no lock is needed.
inline void LockShard(AddressShard *shard, bool alone = false)
{
    if (!alone && InterlockedCompareExchange(&shard->lock, 1, 0))
        WaitForShard(shard);
}

inline void UnlockShard(AddressShard *shard, bool alone = false)
{
    if (!alone)
        __atomic_store_n(&shard->lock, 0, __ATOMIC_RELEASE);
}

inline uint32_t Capacity(const AddressShard *shard) { return shard->slots ? 1u << (32 - shard->shift) : 0; }

inline uint32_t Mixed(uintptr_t address) { return FoldAddress(address) * 0x9E3779B1u; }
inline uint32_t Home(uintptr_t address, uint32_t shift) { return Mixed(address) >> shift; }
// The three hash bits below those that choose the home slot.
inline uintptr_t Tag(uintptr_t address, uint32_t shift) { return (Mixed(address) >> (shift - 3)) & 7; }

inline bool Holds(uintptr_t slot, uintptr_t tag, uintptr_t address)
{
    return slot > Tombstone && (slot & 7) == tag && SlotRecord(slot)->address == address;
}

// Under the lock, with a free slot left: puts the record in, or over a stale
// record of the same address, which it returns.
AllocRecord *Place(AddressShard *shard, AllocRecord *record)
{
    uint32_t mask = Capacity(shard) - 1;
    uintptr_t tag = Tag(record->address, shard->shift);
    uintptr_t *reuse = nullptr;
    for (uint32_t i = Home(record->address, shard->shift);; i = (i + 1) & mask) {
        uintptr_t *slot = &shard->slots[i];
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
                shard->used++;
            }
            *reuse = reinterpret_cast<uintptr_t>(record) | tag;
            shard->live++;
            return nullptr;
        }
    }
}

// Rebuilds the shard's index into a new array when it is too full of
// records or tombstones, twice as large when the records alone need it. The
// memory is had with no lock held; false when there is none.
bool Rebuild(AddressShard *shard, bool alone)
{
    LockShard(shard, alone);
    uint32_t live = shard->live;
    UnlockShard(shard, alone);
    // Half full at most: a growing shard doubles, and a sixth of the slots
    // at least fills before the next rebuild.
    uint32_t bits = FirstSlotBits;
    while (2 * (live + 1) > (1u << bits))
        bits++;
    // On whole cache lines of their own: the small arrays of shards that
    // different threads use would otherwise share lines in the heap.
    uint32_t bytes = ((sizeof(uintptr_t) << bits) + CacheLine - 1) & ~(CacheLine - 1);
    void *block = HeapAlloc(RecordHeap, HEAP_ZERO_MEMORY, bytes + CacheLine - 1);
    if (!block)
        return false;
    auto *slots = reinterpret_cast<uintptr_t *>((reinterpret_cast<uintptr_t>(block) + CacheLine - 1) &
                                                ~uintptr_t(CacheLine - 1));
    void *unused = block;
    LockShard(shard, alone);
    // Another thread may have rebuilt meanwhile, or records come and gone.
    if (3 * (shard->used + 1) > 2 * Capacity(shard) && 3 * (shard->live + 1) <= (2u << bits)) {
        uint32_t shift = 32 - bits, mask = (1u << bits) - 1;
        for (uint32_t i = 0, capacity = Capacity(shard); i < capacity; i++) {
            uintptr_t slot = shard->slots[i];
            if (slot <= Tombstone)
                continue;
            uintptr_t address = SlotRecord(slot)->address;
            uint32_t j = Home(address, shift);
            while (slots[j])
                j = (j + 1) & mask;
            slots[j] = (slot & ~uintptr_t(7)) | Tag(address, shift);
        }
        // Published only when complete: a thread ended in the middle leaves
        // the old index whole.
        unused = shard->slotsBlock;
        shard->slots = slots;
        shard->slotsBlock = block;
        shard->shift = shift;
        shard->used = shard->live;
    }
    UnlockShard(shard, alone);
    if (unused)
        HeapFree(RecordHeap, 0, unused);
    return true;
}

inline uint32_t ShardOf(uintptr_t address) { return ((FoldAddress(address) >> 16) * 0x9E3779B1u) >> 25; }

// Order of the records within a shard for the dump: by bucket, then newest
// first. Keys are read from the records, so that nothing is allocated.
inline uint64_t DumpKey(uintptr_t slot)
{
    const AllocRecord *record = SlotRecord(slot);
    uint32_t bucket = AllocBucket(record->address);
    return uint64_t(bucket) << 32 | uint32_t(BucketInsertions[bucket].count - record->sequence);
}

// Heap sort by DumpKey, in place: the dump may run where nothing can be
// allocated.
void SortForDump(uintptr_t *slots, uint32_t count)
{
    auto sift = [&](uint32_t root, uint32_t end) {
        for (uint32_t child; (child = 2 * root + 1) < end; root = child) {
            if (child + 1 < end && DumpKey(slots[child + 1]) > DumpKey(slots[child]))
                child++;
            if (DumpKey(slots[root]) >= DumpKey(slots[child]))
                return;
            uintptr_t swap = slots[root];
            slots[root] = slots[child];
            slots[child] = swap;
        }
    };
    for (uint32_t i = count / 2; i-- > 0;)
        sift(i, count);
    for (uint32_t end = count; end-- > 1;) {
        uintptr_t swap = slots[0];
        slots[0] = slots[end];
        slots[end] = swap;
        sift(0, end);
    }
}

}  // namespace

void ClearAllocTable()
{
    RetireRecordSlots();
    for (uint32_t b = 0; b < AllocBucketCount; b++)
        BucketInsertions[b].count = 0;
    for (AddressShard &shard : AddressIndex) {
        shard.slots = nullptr;
        shard.slotsBlock = nullptr;
        shard.shift = 0;
        shard.live = 0;
        shard.used = 0;
    }
    OwnerNewest = nullptr;
    ResetTableOwner();
    TableFrozen = false;
}

void LockAllocTable()
{
    ShareTable();
    for (AddressShard &shard : AddressIndex)
        LockShard(&shard);
    LockRecordSlots();
}

void UnlockAllocTable()
{
    UnlockRecordSlots();
    for (AddressShard &shard : AddressIndex)
        UnlockShard(&shard);
}

void InitTableLock()
{
    for (AddressShard &shard : AddressIndex)
        shard.lock = 0;
}

// The owner's newest record, held out of the index while the table has an
// owner: most blocks are released before their thread's next allocation,
// and such a block then costs neither an insertion nor a removal. The next
// insertion places it first, so the buckets' order stays that of the calls.
AllocRecord *OwnerNewest;

namespace {

// Puts the record into the index; a stale record of the same address goes.
void Index(AllocRecord *record, bool alone)
{
    // A count per bucket: its order is the order in which a single list per
    // bucket would have had the records pushed.
    volatile LONG *count = &BucketInsertions[AllocBucket(record->address)].count;
    record->sequence = alone ? ++*count : InterlockedIncrement(count);
    AddressShard *shard = &AddressIndex[ShardOf(record->address)];
    AllocRecord *stale;
    for (;;) {
        LockShard(shard, alone);
        // Records and tombstones at most two thirds of the slots, so that
        // probe runs stay short and always end at a free slot.
        if (3 * (shard->used + 1) <= 2 * Capacity(shard)) {
            stale = Place(shard, record);
            UnlockShard(shard, alone);
            break;
        }
        UnlockShard(shard, alone);
        if (!Rebuild(shard, alone)) {
            stale = record;  // no memory: the block goes unrecorded
            break;
        }
    }
    // The record itself: its owner ended between placing it and letting go.
    if (stale && stale != record)
        PoolRecord(stale);
}

// Takes the address's record out of the index when it is of the kind, or of
// any kind when kind is AnyKind.
enum : uint32_t { AnyKind = 4 };
__attribute__((always_inline)) inline AllocRecord *Unindex(uintptr_t address, uint32_t kind, bool alone)
{
    AddressShard *shard = &AddressIndex[ShardOf(address)];
    AllocRecord *found = nullptr;
    LockShard(shard, alone);
    if (shard->slots) {
        uint32_t mask = Capacity(shard) - 1;
        uintptr_t tag = Tag(address, shard->shift);
        for (uint32_t i = Home(address, shard->shift); uintptr_t slot = shard->slots[i]; i = (i + 1) & mask) {
            if (!Holds(slot, tag, address))
                continue;
            // An address has at most one record, whatever its kind.
            if (kind == AnyKind || SlotRecord(slot)->kind == kind) {
                found = SlotRecord(slot);
                // Where the probe run ends here anyway, the slot is free again.
                if (shard->slots[(i + 1) & mask]) {
                    shard->slots[i] = Tombstone;
                } else {
                    shard->slots[i] = 0;
                    shard->used--;
                }
                shard->live--;
            }
            break;
        }
    }
    UnlockShard(shard, alone);
    return found;
}

}  // namespace

void PlaceOwnerNewest()
{
    // Placed before it is let go: an owner ended in between leaves it both
    // held and placed, and placing it again changes nothing.
    if (AllocRecord *held = OwnerNewest) {
        Index(held, true);
        OwnerNewest = nullptr;
    }
}

// A heap never hands out a block that is still live: a record that holds the
// same address is stale (its release took a path no hook saw) and goes.
void InsertRecord(AllocRecord *record)
{
    bool alone = EnterTable();
    AllocRecord *stale = nullptr;
    if (alone) {
        AllocRecord *held = OwnerNewest;
        if (held && held->address == record->address)
            stale = held;
        else if (held)
            Index(held, alone);
        OwnerNewest = record;
    } else {
        Index(record, alone);
    }
    LeaveTable(alone);
    if (stale)
        PoolRecord(stale);
}

AllocRecord *TakeRecord(uintptr_t address, uint32_t kind)
{
    bool alone = EnterTable();
    AllocRecord *held = alone ? OwnerNewest : nullptr, *found, *stale = nullptr;
    if (held && held->address == address) {
        found = held->kind == kind ? held : nullptr;
        if (found) {
            OwnerNewest = nullptr;
            // A release no hook saw may have left a stale record of the
            // address in the index, which the held record would have replaced.
            stale = Unindex(address, AnyKind, alone);
        }
    } else {
        found = Unindex(address, kind, alone);
    }
    LeaveTable(alone);
    if (stale)
        PoolRecord(stale);
    return found;
}

void FreezeAllocTable()
{
    if (TableFrozen)
        return;
    TableFrozen = true;
    PlaceOwnerNewest();
    // Nothing may hand out a slot of this run's heap any more.
    RetireRecordSlots();
    // Each shard's records packed to the front of its slots, sorted by bucket
    // and age; `live` counts them.
    for (AddressShard &shard : AddressIndex) {
        uint32_t count = 0;
        for (uint32_t i = 0, capacity = Capacity(&shard); i < capacity; i++)
            if (shard.slots[i] > Tombstone)
                shard.slots[count++] = shard.slots[i];
        SortForDump(shard.slots, count);
        shard.live = count;
    }
}

// A merge of the sorted shards through a small heap of shards keyed by their
// next record. Keys ascend across buckets, so the merge meets them in order.
namespace {

void SiftWalk(RecordWalk *walk, uint32_t root)
{
    for (uint32_t child; (child = 2 * root + 1) < walk->size; root = child) {
        if (child + 1 < walk->size && walk->key[walk->heap[child + 1]] < walk->key[walk->heap[child]])
            child++;
        if (walk->key[walk->heap[root]] <= walk->key[walk->heap[child]])
            return;
        uint32_t swap = walk->heap[root];
        walk->heap[root] = walk->heap[child];
        walk->heap[child] = swap;
    }
}

}  // namespace

void StartRecordWalk(RecordWalk *walk)
{
    walk->size = 0;
    walk->last = nullptr;
    for (uint32_t s = 0; s < AddressShardCount; s++) {
        walk->next[s] = 0;
        if (TableFrozen && AddressIndex[s].live) {
            walk->key[s] = DumpKey(AddressIndex[s].slots[0]);
            walk->heap[walk->size++] = s;
        }
    }
    for (uint32_t i = walk->size / 2; i-- > 0;)
        SiftWalk(walk, i);
}

AllocRecord *NextRecord(RecordWalk *walk)
{
    while (walk->size) {
        uint32_t s = walk->heap[0];
        const AddressShard &shard = AddressIndex[s];
        AllocRecord *record = SlotRecord(shard.slots[walk->next[s]++]);
        if (walk->next[s] == shard.live)
            walk->heap[0] = walk->heap[--walk->size];
        else
            walk->key[s] = DumpKey(shard.slots[walk->next[s]]);
        SiftWalk(walk, 0);
        // A thread ended at process exit in the middle of a change may have
        // left a record in two slots: it is met once.
        if (record == walk->last)
            continue;
        walk->last = record;
        return record;
    }
    return nullptr;
}
