// A lock that names its holder by thread id. A waiter takes it over from a
// holder that has ended: ExitProcess ends the other threads wherever they
// are, and the exit's own work must still get through.
#pragma once
#include <windows.h>

void TakeOwnerLock(volatile LONG *lock, DWORD self);
inline void ReleaseOwnerLock(volatile LONG *lock) { InterlockedExchange(lock, 0); }
