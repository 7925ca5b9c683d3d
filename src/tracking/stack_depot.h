// The run's call stacks, each distinct one stored once: a record holds a
// 32-bit reference to its stack instead of the frames, so the blocks of a
// stack that allocates millions of times share one copy, and the dump groups
// records by comparing references.
#pragma once
#include <stdint.h>
#include "tracking/call_stack.h"

// Bytes from the depot's base over 8; 0 is no stack.
typedef uint32_t StackRef;

struct StackEntry {
    StackRef next;  // the bucket's chain
    uint32_t hash;
    uintptr_t frames[1];  // RecordDepth entries, innermost first, 0-padded
};

// The stack whose frames are all 0, stored at every reset: where the depot
// has no room left, a block is recorded with it (it reports without frames).
extern StackRef EmptyStack;
// Committed bytes of the current depot, for the benchmarks.
extern volatile uintptr_t DepotCommitted;

// A new run: a fresh depot for RecordDepth frames. The old one's memory goes
// unless `keepOld` (a call may still be inside an interceptor and read it).
// False when the memory cannot be had: stacks then go unrecorded.
bool ResetStackDepot(bool keepOld);
void ReleaseStackDepot();
// The room for entries from the next reset on, 0 for the default (tests of
// a full depot).
void LimitStackDepot(uintptr_t entryBytes);

extern uint8_t *DepotBase;
extern uint32_t RecordDepth;

inline const StackEntry *StackOf(StackRef ref)
{
    return reinterpret_cast<const StackEntry *>(DepotBase + uintptr_t(ref) * 8);
}
inline const uintptr_t *StackFrames(StackRef ref) { return StackOf(ref)->frames; }

// Four words at a time, without a branch per word: on the allocation path the
// frames are mostly equal and compared whole.
inline bool SameFrames(const uintptr_t *a, const uintptr_t *b)
{
    uint32_t i = 0;
    for (; i + 4 <= RecordDepth; i += 4)
        if ((a[i] ^ b[i]) | (a[i + 1] ^ b[i + 1]) | (a[i + 2] ^ b[i + 2]) | (a[i + 3] ^ b[i + 3]))
            return false;
    for (; i < RecordDepth; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

// A buffer of RecordDepth frames for one thread to capture stacks into, and
// after them the trace of its latest walk, on cache lines of their own
// (threads write theirs on every allocation); null when the depot is full.
// Lock-free.
uintptr_t *CarveCaptureBuffer();
inline WalkTrace *TraceOf(uintptr_t *captureBuffer)
{
    return reinterpret_cast<WalkTrace *>(captureBuffer + RecordDepth);
}
// The reference of the stack held in frames: an equal stack already stored,
// else a new entry with a copy of them (*stored set), else, when the depot is
// full, EmptyStack. Lock-free; threads that store the same stack at once
// agree on one entry.
StackRef InternStack(const uintptr_t *frames, bool *stored = nullptr);
