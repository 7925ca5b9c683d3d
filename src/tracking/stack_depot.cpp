// The stack depot: one reservation per run holding a fixed array of bucket
// heads and then the entries, carved by an atomic bump and committed as the
// bump passes. Lookups walk a bucket's chain without a lock; a new stack is
// linked in by one compare-exchange on the head, so the allocation path
// never waits for another thread. Entries are never removed during a run.
#include "tracking/stack_depot.h"
#include "tracking/alloc_table.h"
#include <windows.h>
#include <string.h>

StackRef EmptyStack;
uint8_t *DepotBase;
volatile uintptr_t DepotCommitted;

namespace {

uint8_t *&Base = DepotBase;

enum : uint32_t { BucketBits = 18, CommitStep = 256 * 1024, CacheLine = 64 };
const uintptr_t BucketBytes = sizeof(StackRef) << BucketBits;

#if defined(_WIN64)
// Address space is plenty: room for millions of stacks at any depth.
const uintptr_t DefaultEntryBytes = uintptr_t(4) << 30;
#else
// A 32-bit program's address space is scarce: 64 MB, reserved but committed
// only as stacks come (over 900,000 stacks of 16 frames).
const uintptr_t DefaultEntryBytes = uintptr_t(64) << 20;
#endif

volatile StackRef *Buckets;
uintptr_t EntryLimit = DefaultEntryBytes, Reserved, Room;  // Room: where carving ends
volatile uintptr_t Used;  // bytes carved, from Base, the buckets included
uint32_t EntryBytes;

inline StackEntry *EntryAt(StackRef ref) { return reinterpret_cast<StackEntry *>(Base + uintptr_t(ref) * 8); }

// Four independent rotate-and-xor chains, so that the processor works on
// them at once; a multiply mixes them at the end.
inline uint32_t Rotated(uint32_t lane, uintptr_t frame) { return ((lane << 7) | (lane >> 25)) ^ FoldAddress(frame); }

inline uint32_t HashFrames(const uintptr_t *frames)
{
    uint32_t a = 0, b = 0, c = 0, d = 0, i = 0;
    for (; i + 4 <= RecordDepth; i += 4) {
        a = Rotated(a, frames[i]);
        b = Rotated(b, frames[i + 1]);
        c = Rotated(c, frames[i + 2]);
        d = Rotated(d, frames[i + 3]);
    }
    for (; i < RecordDepth; i++)
        a = Rotated(a, frames[i]);
    return (a * 0x9E3779B1u) ^ (b * 0x85EBCA77u) ^ (c * 0xC2B2AE3Du) ^ (d * 0x27D4EB2Fu);
}

// The entry in the chain from `from` up to (not including) `until` that holds
// the frames, or 0.
StackRef FindIn(StackRef from, StackRef until, uint32_t hash, const uintptr_t *frames)
{
    for (StackRef ref = from; ref != until; ref = EntryAt(ref)->next) {
        const StackEntry *entry = EntryAt(ref);
        if (entry->hash == hash && SameFrames(entry->frames, frames))
            return ref;
    }
    return 0;
}

// Commits the pages up to `end` (bytes from Base). Committing a committed
// page again changes nothing, so threads racing here need no lock.
bool CommitUpTo(uintptr_t end)
{
    uintptr_t committed = DepotCommitted;
    if (end <= committed)
        return true;
    uintptr_t to = (end + CommitStep - 1) & ~uintptr_t(CommitStep - 1);
    if (to > Reserved)
        to = Reserved;
    if (!VirtualAlloc(Base + committed, to - committed, MEM_COMMIT, PAGE_READWRITE))
        return false;
    while (committed < to) {
        uintptr_t seen = uintptr_t(InterlockedCompareExchangePointer(
            reinterpret_cast<void *volatile *>(&DepotCommitted), reinterpret_cast<void *>(to),
            reinterpret_cast<void *>(committed)));
        if (seen == committed)
            break;
        committed = seen;
    }
    return true;
}

}  // namespace

void LimitStackDepot(uintptr_t entryBytes) { EntryLimit = entryBytes ? entryBytes : DefaultEntryBytes; }

bool ResetStackDepot(bool keepOld)
{
    if (Base && !keepOld)
        VirtualFree(Base, 0, MEM_RELEASE);
    Base = nullptr;
    Buckets = nullptr;
    Used = Reserved = DepotCommitted = 0;
    EmptyStack = 0;
    EntryBytes = (offsetof(StackEntry, frames) + RecordDepth * sizeof(uintptr_t) + 7) & ~7u;
    uintptr_t reserve = (BucketBytes + EntryLimit + CommitStep - 1) & ~uintptr_t(CommitStep - 1);
    Base = static_cast<uint8_t *>(VirtualAlloc(nullptr, reserve, MEM_RESERVE, PAGE_READWRITE));
    if (!Base)
        return false;
    Reserved = reserve;
    Room = BucketBytes + EntryLimit;
    Used = BucketBytes;
    Buckets = reinterpret_cast<volatile StackRef *>(Base);
    // Fresh memory is zero: a buffer of it holds the empty stack.
    const uintptr_t *zeros = CarveCaptureBuffer();
    EmptyStack = zeros ? InternStack(zeros) : 0;
    if (!EmptyStack)
        ReleaseStackDepot();
    return EmptyStack != 0;
}

void ReleaseStackDepot()
{
    if (Base)
        VirtualFree(Base, 0, MEM_RELEASE);
    Base = nullptr;
    Buckets = nullptr;
    Used = Reserved = Room = DepotCommitted = 0;
    EmptyStack = 0;
}

namespace {

// Bytes from Base, 8-aligned (or aligned to `align`), or 0 when full.
uintptr_t Carve(uint32_t bytes, uint32_t align = 8)
{
    // Checked first, so that failed carves do not wrap the bump around.
    if (!Base || Used + bytes + align - 8 > Room)
        return 0;
    uintptr_t begin = __sync_fetch_and_add(&Used, uintptr_t(bytes + align - 8));
    begin = (begin + align - 1) & ~uintptr_t(align - 1);
    // Past the end the bump only grows: every later carve fails too.
    if (begin + bytes > Room || !CommitUpTo(begin + bytes))
        return 0;
    return begin;
}

}  // namespace

uintptr_t *CarveCaptureBuffer()
{
    uint32_t bytes = (RecordDepth * sizeof(uintptr_t) + sizeof(WalkTrace) + CacheLine - 1) & ~(CacheLine - 1);
    uintptr_t at = Carve(bytes, CacheLine);
    return at ? reinterpret_cast<uintptr_t *>(Base + at) : nullptr;
}

StackRef InternStack(const uintptr_t *frames, bool *stored)
{
    if (stored)
        *stored = false;
    if (!Buckets)
        return EmptyStack;
    uint32_t hash = HashFrames(frames);
    volatile StackRef *bucket = &Buckets[(hash * 0x9E3779B1u) >> (32 - BucketBits)];
    StackRef head = __atomic_load_n(bucket, __ATOMIC_ACQUIRE);
    if (StackRef found = FindIn(head, 0, hash, frames))
        return found;
    uintptr_t at = Carve(EntryBytes);
    if (!at)
        return EmptyStack;
    auto *entry = reinterpret_cast<StackEntry *>(Base + at);
    memcpy(entry->frames, frames, RecordDepth * sizeof(uintptr_t));
    entry->hash = hash;
    StackRef ref = StackRef(at / 8);
    for (;;) {
        entry->next = head;
        // A full barrier: the entry is whole before another thread can reach it.
        StackRef seen = __sync_val_compare_and_swap(bucket, head, ref);
        if (seen == head) {
            if (stored)
                *stored = true;
            return ref;
        }
        // Only the entries linked in meanwhile are new. Another thread's
        // entry for the stack wins; this one stays unused.
        if (StackRef found = FindIn(seen, head, hash, frames))
            return found;
        head = seen;
    }
}
