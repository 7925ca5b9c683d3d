// A run's record table belongs to the first thread that uses it until a
// second thread comes: the owner then works with plain loads and stores, the
// shard locks and bucket counts untouched, because a locked instruction costs
// about as much as the rest of the bookkeeping of a block. The second thread
// makes the table shared for the rest of the run: it waits until the owner is
// out of the table, and from then on every thread locks.
#pragma once
#include <windows.h>
#include <stdint.h>
#include "control/thread_block.h"

struct alignas(64) TableOwnerState {
    // The owner's id and a handle to it, claimed together in one exchange:
    // a thread that sees the id also has the handle that tells whether the
    // owner still lives.
    union {
        volatile LONGLONG claim;
        struct {
            volatile LONG ownerId;  // 0 before the first use
#if defined(_WIN64)
            // The handle's value: a kernel handle fits in 32 bits, sign-extended.
            LONG handleBits;
#else
            HANDLE handle;
#endif
        };
    };
#if defined(_WIN64)
    HANDLE Handle() const { return reinterpret_cast<HANDLE>(LONG_PTR(handleBits)); }
    void SetHandle(HANDLE value) { handleBits = LONG(LONG_PTR(value)); }
#else
    HANDLE Handle() const { return handle; }
    void SetHandle(HANDLE value) { handle = value; }
#endif
    volatile LONG sharing;  // set once a second thread has come
    volatile LONG shared;   // set once the owner is out: every thread locks
};
// Written by the owner on every access: a line of its own.
struct alignas(64) OwnerInsideFlag {
    volatile LONG inside;
};

extern TableOwnerState TableOwner;
extern OwnerInsideFlag OwnerInside;

inline uint32_t CurrentThreadIdFromTeb() { return OwnThreadId(); }

// The owner's way in: true unless a second thread has come.
inline bool EnterAsOwner()
{
    if (TableOwner.sharing)
        return false;
    OwnerInside.inside = 1;
    // The flag is stored before `sharing` is read again. The processor may
    // still hold the store back; ShareTable's suspension of the owner makes
    // it visible (FlushProcessWriteBuffers would too, but Wine's does
    // nothing). Once shared, the owner no longer writes the flag's line.
    __asm__ __volatile__("" ::: "memory");
    if (!TableOwner.sharing)
        return true;
    OwnerInside.inside = 0;
    return false;
}

bool EnterTableSlowly();

// True when the calling thread has the table to itself until LeaveTable: no
// other thread reads or writes it meanwhile. False: lock as usual.
// An owner that finds a second thread come waits, as that thread does, until
// the table is shared: its newest record is placed into the index meanwhile.
inline bool EnterTable()
{
    if (TableOwner.ownerId == LONG(CurrentThreadIdFromTeb()) && EnterAsOwner())
        return true;
    return !TableOwner.shared && EnterTableSlowly();
}

inline void LeaveTable(bool alone)
{
    if (alone)
        __atomic_store_n(&OwnerInside.inside, 0, __ATOMIC_RELEASE);
}

// Puts the owner's newest record into the index (tracking/alloc_table.cpp):
// from the moment the table is shared every record lies there.
void PlaceOwnerNewest();

// Makes the table shared, waiting for the owner to be out of it. For a second
// thread, and for the exit, which takes every lock.
void ShareTable();
// For a thread about to suspend the others: when it owns the table, shares
// it first. Else a thread sharing the table meanwhile could suspend it while
// it suspends that thread, and each would hold the other suspended for good.
void ShareTableBeforeFreeze();
// A new run: the next thread to use the table owns it.
void ResetTableOwner();
