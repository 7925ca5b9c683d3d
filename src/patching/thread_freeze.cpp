// Suspension of every other thread. While some are suspended, only system
// calls that take no user-mode lock are made: NtGetNextThread and
// NtQueryInformationThread (one server request each under Wine, a kernel
// call on Windows), SuspendThread, GetThreadContext, ResumeThread, CloseHandle.
// A toolhelp snapshot or a system process list would allocate.
#include "patching/thread_freeze.h"
#include "patching/owner_lock.h"

namespace {

typedef LONG(WINAPI *NextThreadFunction)(HANDLE process, HANDLE thread, ACCESS_MASK access,
                                         ULONG attributes, ULONG flags, HANDLE *next);
typedef LONG(WINAPI *QueryThreadFunction)(HANDLE thread, ULONG informationClass, void *information,
                                          ULONG length, ULONG *returned);

struct ThreadBasicInformation {
    LONG exitStatus;
    void *teb;
    HANDLE processId;
    HANDLE threadId;
    ULONG_PTR affinity;
    LONG priority;
    LONG basePriority;
};

const ACCESS_MASK FreezeAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_INFORMATION;
const LONG StatusNoMoreEntries = LONG(0x8000001A);
const ULONG ThreadBasicInformationClass = 0;
const ULONG ThreadStartAddressClass = 9;
const uint32_t InitialCapacity = 4096 / sizeof(FrozenThread);

// The thread that holds the others frozen, 0 when none: two threads freezing
// at once would suspend each other. A freezer that ended while frozen
// (another thread ended the process) gives way.
volatile LONG Freezer;

NextThreadFunction NextThread;
QueryThreadFunction QueryThread;

// Looked up before anything is suspended: the loader takes its lock.
bool ResolveNtFunctions()
{
    if (!NextThread || !QueryThread) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (!ntdll)
            return false;
        QueryThread = reinterpret_cast<QueryThreadFunction>(
            reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationThread")));
        NextThread = reinterpret_cast<NextThreadFunction>(
            reinterpret_cast<void *>(GetProcAddress(ntdll, "NtGetNextThread")));
    }
    return NextThread && QueryThread;
}

void ResumeAll(FrozenThreads *set)
{
    for (uint32_t i = 0; i < set->count; ++i) {
        ResumeThread(set->threads[i].handle);
        CloseHandle(set->threads[i].handle);
    }
    if (set->threads)
        VirtualFree(set->threads, 0, MEM_RELEASE);
    set->threads = nullptr;
    set->count = set->capacity = 0;
}

bool Contains(const FrozenThreads *set, uint32_t id)
{
    for (uint32_t i = 0; i < set->count; ++i)
        if (set->threads[i].id == id)
            return true;
    return false;
}

// Reads where a suspended thread stopped. SuspendThread returns before the
// thread has stopped, under Wine as on Windows; GetThreadContext waits until
// it has. Under Wine a thread that is created but has not yet started has no
// start address yet, and GetThreadContext would wait for it to run, which its
// suspended creator may prevent forever; it stops before its first
// instruction, so eip stays 0 (never moved). Windows sets the start address
// at creation. A context that cannot be read also leaves eip 0.
void ReadStop(FrozenThread *thread)
{
    void *start = nullptr;
    QueryThread(thread->handle, ThreadStartAddressClass, &start, sizeof start, nullptr);
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    if (start && GetThreadContext(thread->handle, &context))
#if defined(_WIN64)
        thread->eip = context.Rip;
#else
        thread->eip = context.Eip;
#endif
}

// One pass over the process's threads, suspending those not yet in the set.
// All are suspended before any is waited for, so that they stop together
// rather than one scheduling delay after another. Result: the number
// suspended, or -1 when the set is full or the enumeration failed
// (last-error value set).
int SuspendPass(FrozenThreads *set, DWORD self)
{
    uint32_t first = set->count;
    HANDLE cursor = nullptr;
    bool cursorKept = true;
    for (;;) {
        HANDLE next;
        LONG status = NextThread(GetCurrentProcess(), cursor, FreezeAccess, 0, 0, &next);
        if (!cursorKept)
            CloseHandle(cursor);
        if (status == StatusNoMoreEntries) {
            for (uint32_t i = first; i < set->count; ++i)
                ReadStop(&set->threads[i]);
            return int(set->count - first);
        }
        if (status < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return -1;
        }
        cursor = next;
        cursorKept = false;
        ThreadBasicInformation info;
        if (QueryThread(next, ThreadBasicInformationClass, &info, sizeof info, nullptr) < 0)
            continue;
        uint32_t id = uint32_t(uintptr_t(info.threadId));
        if (id == self || Contains(set, id))
            continue;
        if (set->count == set->capacity) {
            CloseHandle(next);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return -1;
        }
        if (SuspendThread(next) != DWORD(-1)) {  // fails for a thread that is ending
            set->threads[set->count++] = {id, next, 0, uintptr_t(info.teb)};
            cursorKept = true;
        }
    }
}

}  // namespace

int FreezeOtherThreads(FrozenThreads *set)
{
    set->threads = nullptr;
    set->count = set->capacity = 0;
    if (!ResolveNtFunctions()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    DWORD self = GetCurrentThreadId();
    TakeOwnerLock(&Freezer, self);
    for (uint32_t capacity = InitialCapacity;; capacity *= 2) {
        set->threads = static_cast<FrozenThread *>(
            VirtualAlloc(nullptr, capacity * sizeof(FrozenThread), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!set->threads) {
            ReleaseOwnerLock(&Freezer);
            return 0;
        }
        set->capacity = capacity;
        int added;
        do
            added = SuspendPass(set, self);
        while (added > 0);
        if (added == 0)
            return 1;
        // Too many threads for the storage, or no enumeration: resume them
        // all, then grow the storage (nothing may be allocated while frozen).
        DWORD error = GetLastError();
        ResumeAll(set);
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            ReleaseOwnerLock(&Freezer);
            SetLastError(error);
            return 0;
        }
    }
}

void ThawThreads(FrozenThreads *set)
{
    ResumeAll(set);
    ReleaseOwnerLock(&Freezer);
}
