// The hand-over from one owning thread to a shared table. It runs once per
// run at most, so it may suspend the owner.
#include "tracking/table_owner.h"

TableOwnerState TableOwner;
OwnerInsideFlag OwnerInside;

static SRWLOCK ShareLock = SRWLOCK_INIT;

namespace {

// A thread is suspended only once its stores are done: after that, its flag
// reads as it left it. Its own exit (a system call) does as much.
void WaitForOwnerOut(DWORD ownerId)
{
    HANDLE owner = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | SYNCHRONIZE, FALSE, ownerId);
    if (owner && SuspendThread(owner) != DWORD(-1)) {
        // Suspension takes effect later (on Windows too): the context is
        // there once it has.
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(owner, &context);
        ResumeThread(owner);
    }
    // Inside for a few dozen instructions at most, unless preempted or
    // suspended: the same back-off as a shard lock's waiter. An owner ended
    // inside is not waited for.
    for (uint32_t round = 0; OwnerInside.inside; round++) {
        if (owner && WaitForSingleObject(owner, 0) != WAIT_TIMEOUT)
            break;
        if (round < 1000)
            __builtin_ia32_pause();
        else if (round < 1020)
            SwitchToThread();
        else
            Sleep(1);
    }
    if (owner)
        CloseHandle(owner);
}

}  // namespace

bool EnterTableSlowly()
{
    if (!TableOwner.ownerId && !InterlockedCompareExchange(&TableOwner.ownerId, LONG(CurrentThreadIdFromTeb()), 0))
        return EnterAsOwner();
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
        DWORD ownerId = DWORD(TableOwner.ownerId);
        if (ownerId && ownerId != CurrentThreadIdFromTeb())
            WaitForOwnerOut(ownerId);
        __atomic_store_n(&TableOwner.shared, 1, __ATOMIC_RELEASE);
    }
    ReleaseSRWLockExclusive(&ShareLock);
}

void ResetTableOwner()
{
    TableOwner.ownerId = 0;
    TableOwner.sharing = 0;
    TableOwner.shared = 0;
    OwnerInside.inside = 0;
}
