#include "patching/owner_lock.h"

void TakeOwnerLock(volatile LONG *lock, DWORD self)
{
    for (;;) {
        LONG owner = InterlockedCompareExchange(lock, LONG(self), 0);
        if (owner == 0)
            return;
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, DWORD(owner));
        bool ended = !thread || WaitForSingleObject(thread, 1) == WAIT_OBJECT_0;
        if (thread)
            CloseHandle(thread);
        if (ended && InterlockedCompareExchange(lock, LONG(self), owner) == owner)
            return;
    }
}
