// The hand-over from one owning thread to a shared table. It runs once per
// run at most, so it may suspend the owner.
#include "tracking/table_owner.h"

TableOwnerState TableOwner;
OwnerInsideFlag OwnerInside;

static SRWLOCK ShareLock = SRWLOCK_INIT;

namespace {

// A thread is suspended only once its stores are done: after that, its flag
// reads as it left it. An owner that has ended is not waited for.
void WaitForOwnerOut(HANDLE owner)
{
    if (SuspendThread(owner) != DWORD(-1)) {
        // Suspension takes effect later (on Windows too): the context is
        // there once it has.
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(owner, &context);
        ResumeThread(owner);
    }
    // Inside for a few dozen instructions at most, unless preempted or
    // suspended: the same back-off as a shard lock's waiter.
    for (uint32_t round = 0; OwnerInside.inside && WaitForSingleObject(owner, 0) == WAIT_TIMEOUT; round++) {
        if (round < 1000)
            __builtin_ia32_pause();
        else if (round < 1020)
            SwitchToThread();
        else
            Sleep(1);
    }
}

}  // namespace

bool EnterTableSlowly()
{
    HANDLE self;
    if (!TableOwner.ownerId &&
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE, FALSE, 0)) {
        TableOwnerState claim;
        claim.ownerId = LONG(CurrentThreadIdFromTeb());
        claim.SetHandle(self);
        if (!InterlockedCompareExchange64(&TableOwner.claim, claim.claim, 0))
            return EnterAsOwner();
        CloseHandle(self);
    }
    ShareTable();
    return false;
}

void ShareTable()
{
    if (TableOwner.shared)
        return;
    AcquireSRWLockExclusive(&ShareLock);
    if (!TableOwner.shared) {
        // From here the owner locks too; a claim made after this line is
        // seen below, since both are locked instructions.
        InterlockedExchange(&TableOwner.sharing, 1);
        TableOwnerState owner;
        owner.claim = InterlockedCompareExchange64(&TableOwner.claim, 0, 0);
        if (owner.ownerId && DWORD(owner.ownerId) != CurrentThreadIdFromTeb())
            WaitForOwnerOut(owner.Handle());
        // Nobody else is in the table until it is shared.
        PlaceOwnerNewest();
        __atomic_store_n(&TableOwner.shared, 1, __ATOMIC_RELEASE);
    }
    ReleaseSRWLockExclusive(&ShareLock);
}

void ShareTableBeforeFreeze()
{
    if (TableOwner.ownerId == LONG(CurrentThreadIdFromTeb()))
        ShareTable();
}

void ResetTableOwner()
{
    if (TableOwner.Handle())
        CloseHandle(TableOwner.Handle());
    TableOwner.SetHandle(nullptr);
    TableOwner.ownerId = 0;
    TableOwner.sharing = 0;
    TableOwner.shared = 0;
    OwnerInside.inside = 0;
}
