// The interceptors of the nine allocator functions and their hooks.
#pragma once
#include <windows.h>
#include <stdint.h>

// In the fixed order of installation and removal.
enum AllocatorFunction : uint32_t {
    FnHeapAlloc, FnHeapReAlloc, FnHeapFree,
    FnGlobalAlloc, FnGlobalReAlloc, FnGlobalFree,
    FnLocalAlloc, FnLocalReAlloc, FnLocalFree,
    AllocatorFunctionCount
};

struct HookRecord;

// What an interceptor calls: the import address, or the trampoline while hooked.
extern void *RealEntry[AllocatorFunctionCount];
extern HookRecord *AllocatorHook[AllocatorFunctionCount];
// HeapAlloc calls on the library's own heaps in progress; they run outside
// the bracket, so InFlightCount does not see them.
extern volatile LONG PassThroughCount;

int InstallAllocatorHooks();
void RemoveAllocatorHooks();
void *ReKeyHeapBlock(HANDLE heap, DWORD flags, void *block, SIZE_T bytes);
