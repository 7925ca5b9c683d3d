// The table of live recorded blocks, one record per block, on a private heap
// that lives for one recording run. While recording, records are found by
// address in a sharded hash; the dump walks them in the order of 127 buckets,
// each newest first.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// A live block: 16 bytes on x86, 24 on x64; its frames are in the depot.
struct AllocRecord {
    union {
        uintptr_t address;
        AllocRecord *next;  // a spare slot's link in the record caches
    };
    uintptr_t size;
    uint32_t sequence;  // its bucket's insertion count at insertion
    uint32_t stack : 30;  // StackRef
    uint32_t kind : 2;    // 1 live, 0 counted into a duplicate group by the dump
};

// An address folded to 32 bits for the hashes: on x64 the high half is mixed
// into the low one.
inline uint32_t FoldAddress(uintptr_t address)
{
#if defined(_WIN64)
    return uint32_t(address) ^ uint32_t(address >> 32);
#else
    return address;
#endif
}

enum : uint32_t { AllocBucketCount = 127 };

enum : uint32_t { AddressShardCount = 128 };

// One shard of the address index: open addressing with linear probing. A
// slot holds a record pointer with three bits of the address's hash in its
// low bits, so that most probes need not read the record; 0 is a free slot,
// 1 a released one.
struct alignas(64) AddressShard {
    volatile LONG lock;  // 1 while a thread holds the shard
    uintptr_t *slots;  // from the RecordHeap; null until the first insertion
    void *slotsBlock;  // the RecordHeap block that holds them, line-aligned
    uint32_t shift;    // 32 - log2(number of slots)
    uint32_t live;     // slots holding a record
    uint32_t used;     // slots holding a record or released
};

extern AddressShard AddressIndex[AddressShardCount];
extern HANDLE RecordHeap;
// Frames per record for the current run: the stackDepth option as it was at
// TarnwickStart, so records, capture and dump agree whatever happens later.
extern uint32_t RecordDepth;

inline uint32_t AllocBucket(uintptr_t address)
{
    uint32_t folded = FoldAddress(address);
    return ((folded >> 3) ^ (folded >> 16)) % AllocBucketCount;
}

// The record of a slot; null for a free or released slot.
inline AllocRecord *SlotRecord(uintptr_t slot) { return reinterpret_cast<AllocRecord *>(slot & ~uintptr_t(7)); }

void ClearAllocTable();
// Every shard's lock and the slot pool's, held across the moment when
// ExitProcess ends the other threads. Only while recording.
void LockAllocTable();
void UnlockAllocTable();
void InitTableLock();
// Sorts every shard's records for the dump walk; the index is not used again
// in this run. Called with no interceptor installed; a second call changes
// nothing.
void FreezeAllocTable();
// The frozen records in the dump's order: by bucket, each bucket newest
// first, as a single list per bucket would hold them. Needs no memory.
struct RecordWalk {
    uint32_t heap[AddressShardCount], size;  // shards by their next record's key
    uint32_t next[AddressShardCount];
    uint64_t key[AddressShardCount];
    AllocRecord *last;
};
void StartRecordWalk(RecordWalk *walk);
AllocRecord *NextRecord(RecordWalk *walk);
// Takes over the record. A record still holding the same address is stale
// (the heap never hands out a live block twice): it is dropped.
void InsertRecord(AllocRecord *record);
AllocRecord *TakeRecord(uintptr_t address, uint32_t kind);
// The owner's newest record, not in the index yet (null when none); only
// the owner, alone in the table, changes it.
extern AllocRecord *OwnerNewest;
